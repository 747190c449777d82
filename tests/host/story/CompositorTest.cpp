// Line layout: justified box text fills the frame's width at its spaces.
#include <gtest/gtest.h>

#include "host/story/Compositor.h"

namespace Story {
namespace {

TEST(Compositor, JustifiedLinesFillTheFrame) {
    struct Case {
        int align;
        bool fullLines, fullLast;  // wrapped lines, and the last one, spread to the width
    } const cases[] = {
        {kAlignLeft, false, false},
        {kJustifyLeft, true, false},
        {kJustifyCentre, true, false},
        {kJustifyAll, true, true},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.align);
        auto story = Kernel::MakeCounted<Story>();
        story->ReplaceText(story->GetClientAll(),
                           GlyphString::FromUtf8("the quick brown fox jumps over the lazy dog and "
                                                 "keeps running far past the edge of it a b c"));
        StoryRange all = story->GetClientAll();
        all.IncludeStoryTerminator();
        story->FormatText(all, *MakeDelta(ParaInt::kAlignment, c.align));
        ColumnFrame frame({0, 0, 150, 1000});
        Compositor compositor(*story, &frame);
        compositor.Compose();
        auto const& lines = compositor.GetFirstColumn().GetLines();
        ASSERT_GT(lines.size(), 2u);
        for (size_t i = 0; i < lines.size(); ++i) {
            auto const& line = lines[i];
            bool last = i + 1 == lines.size();
            // The visible characters' advances: the trailing space of a wrapped line is not.
            double width = 0;
            size_t end = line.end, spaces = 0;
            while (end > line.start && story->GetText()[end - 1] == u' ') --end;
            for (size_t ch = line.start; ch < end; ++ch) {
                width += line.advances[ch - line.start];
                spaces += story->GetText()[ch] == u' ';
            }
            EXPECT_NEAR(width, line.width, 1e-9);
            EXPECT_TRUE(!last || spaces > 0);  // something to spread at
            if (last ? c.fullLast : c.fullLines) {
                EXPECT_NEAR(line.width, 150, 1e-9) << i;
                EXPECT_EQ(line.x, 0) << i;
            } else {
                EXPECT_LT(line.width, 149) << i;
            }
        }
    }
}

// A character's kerning moves the gap before it; automatic kerning off drops the font's pairs.
TEST(Compositor, KerningMovesTheGapBeforeACharacter) {
    // The advances of "AVAV" with automatic kerning on or off, and kerning on its third character.
    auto advances = [](bool automatic, double kerning) {
        auto story = Kernel::MakeCounted<Story>();
        story->ReplaceText(story->GetClientAll(), GlyphString::FromUtf8("AVAV"));
        story->FormatText(story->GetClientAll(),
                          *MakeDelta(GlyphDouble::kAutoKern, automatic ? 0 : -1));
        story->FormatText(StoryRange(StoryPos(story.Get(), 2), StoryPos(story.Get(), 3)),
                          *MakeDelta(GlyphDouble::kKerning, kerning));
        ArtFrame frame({0, 0});
        Compositor compositor(*story, &frame);
        compositor.Compose();
        return compositor.GetFirstColumn().GetLines().at(0).advances;
    };
    auto loose = advances(false, 0);
    auto kerned = advances(false, 0.1);
    EXPECT_NEAR(kerned[1], loose[1] + 1.2, 1e-9);  // a tenth of the em of 12 px type
    EXPECT_EQ(kerned[2], loose[2]);
    EXPECT_GT(loose[0], advances(true, 0)[0] + 0.1);  // "AV" is a kerned pair of the default face
}

}  // namespace
}  // namespace Story
