#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "psd/report/PSDReport.h"

using namespace PSD;

namespace {

PSDError::Code ErrorCode(uint32_t c) {
    return static_cast<PSDError::Code>(c);
}
PSDLoadWarning::Code WarningCode(uint32_t c) {
    return static_cast<PSDLoadWarning::Code>(c);
}

Kernel::Counted<PSDLoadWarning> MakeWarning(uint32_t code, String const& detail,
                                            uint32_t number = 0, String const& text = {}) {
    Kernel::Counted<PSDLoadWarning> w(new PSDLoadWarning(WarningCode(code), detail));
    w->m_number = number;
    w->m_text = text;
    return w;
}

String WarningText(Kernel::Counted<PSDLoadWarning> const& w) {
    String out;
    w->Report(out);
    return out;
}

// Restores the English texts however a test ends.
struct CatalogueGuard {
    explicit CatalogueGuard(Kernel::LocalisedString::Catalogue c) {
        Kernel::LocalisedString::SetCatalogue(c);
    }
    ~CatalogueGuard() { Kernel::LocalisedString::SetCatalogue(nullptr); }
};

char const* GermanCatalogue(char const* context, char const* text) {
    std::string_view c(context), t(text);
    if (c == "PSDError" && t == "Bad file signature") return "Falsche Dateisignatur";
    if (c == "PSDWarning" && t == "Unexpected key") return "Unerwarteter Schl\xC3\xBCssel";
    // Same English text under the other context must not be taken for this one.
    if (c == "PSDWarning" && t == "Unknown blend mode") return "Unbekannter Mischmodus (Warnung)";
    return nullptr;
}

// A warning of another kind: never a repeat of a load warning, whatever its fields.
class OtherWarning : public PSDWarning {
public:
    bool IsRepeat(Kernel::Counted<PSDWarning const> const& other) const override {
        return dynamic_cast<OtherWarning const*>(other.Get()) != nullptr;
    }
    void Report(String& out) const override { out += "other\n"; }
};

}  // namespace

TEST(Report, ErrorFormatsDetailAndNumber) {
    EXPECT_EQ(PSDError(PSDError::kBadSignature, "ABCD").Report(), "Bad file signature : ABCD");
    EXPECT_EQ(PSDError(PSDError::kTruncated, "", 7).Report(),
              "The file appears to be truncated [7]");
    EXPECT_EQ(PSDError(PSDError::kUnsupportedVersion, "3", 9).Report(),
              "Unsupported PSD version : 3 [9]");
    EXPECT_EQ(PSDError(PSDError::kParsing).Report(), "Failed to parse the file");
    // Numbers are unsigned decimal, no grouping, even at the top of the range.
    EXPECT_EQ(PSDError(PSDError::kUnsupportedDepth, "", 4294967295u).Report(),
              "Unsupported bit depth [4294967295]");
    EXPECT_EQ(PSDError(PSDError::kUnsupportedDepth, "16", 1234567).Report(),
              "Unsupported bit depth : 16 [1234567]");
    // A detail that looks like a placeholder is not expanded again.
    EXPECT_EQ(PSDError(PSDError::kParsing, "%1 %2 %%").Report(),
              "Failed to parse the file : %1 %2 %%");
}

TEST(Report, ErrorMessagesAtTableBoundaries) {
    EXPECT_EQ(PSDError(ErrorCode(0)).Report(), "The file appears to be truncated");
    EXPECT_EQ(PSDError(ErrorCode(1)).Report(), "Out of memory");
    EXPECT_EQ(PSDError(ErrorCode(3)).Report(), "Offsets within the file were incorrect");
    EXPECT_EQ(PSDError(ErrorCode(12)).Report(), "Unknown raster compression method");
    EXPECT_EQ(PSDError(ErrorCode(18)).Report(), "Unknown descriptor Unit Float type");
    EXPECT_EQ(PSDError(ErrorCode(27)).Report(), "Unknown Text Warp version");
    EXPECT_EQ(PSDError(ErrorCode(28)).Report(), "Descriptor: Expected a Bool");
    EXPECT_EQ(PSDError(ErrorCode(31)).Report(), "Descriptor: Expected an Enum");
    EXPECT_EQ(PSDError(ErrorCode(35)).Report(), "Descriptor: Expected a Unit Float");
    EXPECT_EQ(PSDError(ErrorCode(36)).Report(), "Descriptor: Unexpected descriptor key");
    EXPECT_EQ(PSDError(ErrorCode(41)).Report(), "Descriptor: Unknown unit type");
    EXPECT_EQ(PSDError(ErrorCode(43)).Report(),
              "Paths: Curves beginning with a Subtract op not supported");
    EXPECT_EQ(PSDError(ErrorCode(47)).Report(), "Bevel: Bad data");
    EXPECT_EQ(PSDError(ErrorCode(48)).Report(), "Solid Fill: Bad data");
    // Codes outside the table have no message, but keep their suffixes.
    EXPECT_EQ(PSDError(ErrorCode(49)).Report(), "");
    EXPECT_EQ(PSDError(ErrorCode(60), "X").Report(), " : X");
    EXPECT_EQ(PSDError(ErrorCode(60), "", 5).Report(), " [5]");
    EXPECT_EQ(PSDError(ErrorCode(49), "Y", 2).Report(), " : Y [2]");
    EXPECT_EQ(PSDError(ErrorCode(0xFFFFFFFFu)).Report(), "");
    EXPECT_STREQ(PSDError::GetMessage(48), "Solid Fill: Bad data");
    EXPECT_STREQ(PSDError::GetMessage(49), "");
}

TEST(Report, ErrorConstructorsLeaveUnsetFieldsEmpty) {
    PSDError a(PSDError::kGlowBadData);
    EXPECT_EQ(a.GetCode(), 46u);
    EXPECT_EQ(a.GetNumber(), 0u);
    EXPECT_TRUE(a.GetDetail().empty());
    PSDError b(PSDError::kGlowBadData, "d");
    EXPECT_EQ(b.GetNumber(), 0u);
    EXPECT_EQ(b.GetDetail(), "d");
    PSDError c(PSDError::kGlowBadData, "d", 9);
    EXPECT_EQ(c.GetNumber(), 9u);
}

TEST(Report, ReportHelpersStoreTheirCodesAndReplaceEarlierErrors) {
    PSDReport r;
    EXPECT_FALSE(r.m_error);
    EXPECT_FALSE(r.m_warnings);
    r.ErrorTruncated();
    EXPECT_EQ(r.m_error->GetCode(), 0u);
    Kernel::Counted<PSDError> first = r.m_error;
    r.ErrorAlloc();
    EXPECT_EQ(r.m_error->GetCode(), 1u);
    EXPECT_EQ(first->GetRefCount(), 1);  // the report let go of the earlier error
    r.ErrorMisaligned();
    EXPECT_EQ(r.m_error->GetCode(), 3u);
    r.ErrorParsing();
    EXPECT_EQ(r.m_error->GetCode(), 4u);
    EXPECT_TRUE(r.m_error->GetDetail().empty());
    EXPECT_EQ(r.m_error->GetNumber(), 0u);
    r.SetError(PSDError::kUnsupportedVersion, "3", 3);
    EXPECT_EQ(r.m_error->Report(), "Unsupported PSD version : 3 [3]");
}

TEST(Report, WarningFourForms) {
    EXPECT_EQ(WarningText(MakeWarning(6, "")), "Unexpected key\n");
    EXPECT_EQ(WarningText(MakeWarning(6, "Foo")), "Unexpected key : Foo\n");
    EXPECT_EQ(WarningText(MakeWarning(6, "", 12)), "Unexpected key [12]\n");
    EXPECT_EQ(WarningText(MakeWarning(6, "Foo", 12)), "Unexpected key : Foo [12]\n");
    // Report appends; it never clears what is there.
    String out = "before\n";
    MakeWarning(1, "x")->Report(out);
    EXPECT_EQ(out, "before\nUnknown blend mode : x\n");
}

TEST(Report, WarningCodeZeroUsesItsOwnText) {
    EXPECT_EQ(WarningText(MakeWarning(0, "", 0, "Custom title")), "Custom title\n");
    EXPECT_EQ(WarningText(MakeWarning(0, "ctx", 0, "Custom title")), "Custom title : ctx\n");
    EXPECT_EQ(WarningText(MakeWarning(0, "ctx", 3, "Custom title")), "Custom title : ctx [3]\n");
    // No text: no title, so nothing at all, detail and number notwithstanding.
    EXPECT_EQ(WarningText(MakeWarning(0, "ctx", 3)), "");
    // The text is only the title of code 0.
    EXPECT_EQ(WarningText(MakeWarning(2, "", 0, "ignored")), "Unknown property\n");
}

TEST(Report, WarningTitlesForEveryCode) {
    char const* const expected[36] = {
        "",
        "Unknown blend mode",
        "Unknown property",
        "Unknown enum value",
        "Unknown gradient type",
        "Unknown unit rect version",
        "Unexpected key",
        "Unexpected item type",
        "Unexpected unit float type",
        "Unknown Channel Mixer Adjustment version",
        "Unknown Colour Lookup Adjustment version",
        "Unknown Curves Adjustment version",
        "Unknown Exposure Adjustment version",
        "Unknown Gradient Map Adjustment version",
        "Unknown HSL Shift Adjustment version",
        "Unknown Levels Adjustment version",
        "Unknown Selective Colour Adjustment version",
        "Unknown Type Tool version",
        "Unknown Bevel direction",
        "Unknown Bevel style",
        "Unknown Bevel technique",
        "Unknown Glow source type",
        "Unknown Glow technique",
        "Unknown Gradient format",
        "Unknown Gradient colour type",
        "Unsupported Gradient format",
        "Unknown layers effect type",
        "Unknown Stroke fill type",
        "Unknown Stroke style",
        "Unexpected Vector Stroke fill adjustment",
        "Unexpected Vector Stroke line unit type",
        "Unexpected Vector Stroke line fill type",
        "Found multiple working paths",
        "Bad text data",
        "Unexpected Text data",
        "Missing mask data",
    };
    for (uint32_t code = 1; code <= 35; ++code) {
        SCOPED_TRACE(code);
        EXPECT_EQ(WarningText(MakeWarning(code, "")), std::string(expected[code]) + "\n");
        EXPECT_EQ(WarningText(MakeWarning(code, "d", 1)),
                  std::string(expected[code]) + " : d [1]\n");
    }
    for (uint32_t code : {36u, 37u, 100u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(WarningText(MakeWarning(code, "detail", 4, "text")), "");
        EXPECT_STREQ(PSDLoadWarning::GetTitle(code), "");
    }
}

TEST(Report, RepeatRules) {
    auto a = MakeWarning(6, "Foo");
    EXPECT_TRUE(a->IsRepeat(MakeWarning(6, "Foo")));
    EXPECT_FALSE(a->IsRepeat(MakeWarning(6, "Bar")));
    EXPECT_FALSE(a->IsRepeat(MakeWarning(7, "Foo")));
    EXPECT_FALSE(a->IsRepeat(MakeWarning(6, "Foo", 1)));
    EXPECT_FALSE(a->IsRepeat(MakeWarning(6, "foo")));  // byte for byte, case matters
    // The text field plays no part outside code 0.
    EXPECT_TRUE(a->IsRepeat(MakeWarning(6, "Foo", 0, "whatever")));
    // Code 0: text and detail both count.
    auto t = MakeWarning(0, "Foo", 0, "One");
    EXPECT_TRUE(t->IsRepeat(MakeWarning(0, "Foo", 0, "One")));
    EXPECT_FALSE(t->IsRepeat(MakeWarning(0, "Foo", 0, "Two")));
    EXPECT_FALSE(t->IsRepeat(MakeWarning(0, "Bar", 0, "One")));
    // Null and other kinds are never repeats.
    EXPECT_FALSE(a->IsRepeat(nullptr));
    EXPECT_FALSE(a->IsRepeat(Kernel::Counted<PSDWarning const>(new OtherWarning)));
}

TEST(Report, WarningsCollectionDedupesAndKeepsOrder) {
    Kernel::Counted<PSDWarnings> ws(new PSDWarnings);
    ws->Add(MakeWarning(6, "Foo"));
    ws->Add(MakeWarning(6, "Foo"));
    EXPECT_EQ(ws->GetCount(), 1u);
    ws->Add(MakeWarning(6, "Bar"));
    EXPECT_EQ(ws->GetCount(), 2u);
    ws->Add(MakeWarning(0, "same", 0, "A"));
    ws->Add(MakeWarning(0, "same", 0, "B"));
    EXPECT_EQ(ws->GetCount(), 4u);
    ws->Add(MakeWarning(6, "Foo", 2));
    EXPECT_EQ(ws->GetCount(), 5u);
    ws->Add(nullptr);
    EXPECT_EQ(ws->GetCount(), 5u);
    // Another kind is kept next to load warnings, and its own repeats follow its own rule.
    ws->Add(Kernel::Counted<PSDWarning const>(new OtherWarning));
    ws->Add(Kernel::Counted<PSDWarning const>(new OtherWarning));
    EXPECT_EQ(ws->GetCount(), 6u);
    // A repeat later on does not move the first occurrence.
    ws->Add(MakeWarning(6, "Bar"));
    EXPECT_EQ(ws->Report(),
              "Unexpected key : Foo\n"
              "Unexpected key : Bar\n"
              "A : same\n"
              "B : same\n"
              "Unexpected key : Foo [2]\n"
              "other\n");
    // A warning without a title stays in the collection but reports nothing.
    ws->Add(MakeWarning(40, "silent"));
    EXPECT_EQ(ws->GetCount(), 7u);
    EXPECT_EQ(ws->Report(),
              "Unexpected key : Foo\nUnexpected key : Bar\nA : same\nB : same\nUnexpected key : "
              "Foo [2]\nother\n");
}

TEST(Report, WarningsReportThreeLinesInOrder) {
    Kernel::Counted<PSDWarnings> ws(new PSDWarnings);
    EXPECT_EQ(ws->Report(), "");
    ws->Add(MakeWarning(35, ""));
    ws->Add(MakeWarning(1, "norm"));
    ws->Add(MakeWarning(32, "", 2));
    EXPECT_EQ(ws->Report(),
              "Missing mask data\nUnknown blend mode : norm\nFound multiple working paths [2]\n");
}

TEST(Report, AddWarningNeedsACollection) {
    PSDReport r;
    r.AddWarning(MakeWarning(6, "Foo"));  // dropped silently
    r.AddWarning(PSDLoadWarning::kUnexpectedKey, "Foo");
    EXPECT_FALSE(r.m_warnings);
    EXPECT_FALSE(r.m_error);

    r.m_warnings = Kernel::MakeCounted<PSDWarnings>();
    r.AddWarning(MakeWarning(6, "Foo"));
    r.AddWarning(PSDLoadWarning::kUnexpectedKey, "Foo");
    r.AddWarning(PSDLoadWarning::kUnexpectedKey, "Baz");
    r.AddWarning(nullptr);
    EXPECT_EQ(r.m_warnings->GetCount(), 2u);
    EXPECT_EQ(r.m_warnings->Report(), "Unexpected key : Foo\nUnexpected key : Baz\n");
}

TEST(Report, ManyDistinctWarningsAreAllKept) {
    // A document can raise warnings without bound; adding them must not slow down quadratically.
    Kernel::Counted<PSDWarnings> ws(new PSDWarnings);
    for (int round = 0; round < 2; ++round)
        for (uint32_t i = 0; i < 50000; ++i) ws->Add(MakeWarning(2, "key " + Kernel::ToString(i)));
    EXPECT_EQ(ws->GetCount(), 50000u);
    auto first = ws->GetWarnings().front().DynamicCast<PSDLoadWarning const>();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->m_detail, "key 0");
}

TEST(Report, RepeatsAreFoundWhateverWayTheyWereAdded) {
    // A subclass of the load warning is compared by its load-warning fields.
    struct Tagged : PSDLoadWarning {
        Tagged() : PSDLoadWarning(kUnexpectedKey, "Foo") {}
    };
    Kernel::Counted<PSDWarnings> ws(new PSDWarnings);
    ws->Add(Kernel::Counted<PSDWarning const>(new Tagged));
    ws->Add(MakeWarning(6, "Foo"));
    EXPECT_EQ(ws->GetCount(), 1u);
    ws->Add(Kernel::Counted<PSDWarning const>(new Tagged));
    EXPECT_EQ(ws->GetCount(), 1u);
    // Elements put into the sequence directly still count as held.
    ws->m_warnings.push_back(MakeWarning(7, "Bar"));
    ws->Add(MakeWarning(7, "Bar"));
    EXPECT_EQ(ws->GetCount(), 2u);
    // And elements taken out no longer do.
    ws->m_warnings.clear();
    ws->Add(MakeWarning(6, "Foo"));
    ws->Add(MakeWarning(7, "Bar"));
    EXPECT_EQ(ws->GetCount(), 2u);
    // Code 0: a text that ends where the detail begins is still a different warning.
    ws->Add(MakeWarning(0, "bc", 0, "a"));
    ws->Add(MakeWarning(0, "c", 0, "ab"));
    EXPECT_EQ(ws->GetCount(), 4u);
}

TEST(Report, KeyFormatting) {
    EXPECT_EQ(Key("8BIM"), 0x3842494Du);
    EXPECT_EQ(KeyToString(Key("8BIM")), "8BIM");
    EXPECT_EQ(KeyToString(Key("lfx2")), "lfx2");
    EXPECT_EQ(KeyToString(0xFFFFFFFFu), "0xffffffff");
    // Hexadecimal without leading zeros.
    EXPECT_EQ(KeyToString(0x00FF0102u), "0xff0102");
    EXPECT_EQ(KeyToString(0x80414243u), "0x80414243");
    // A valid two-byte sequence inside the key is text; a cut one is not.
    EXPECT_EQ(KeyToString(0x41C3A942u),
              "A\xC3\xA9"
              "B");
    EXPECT_EQ(KeyToString(0x414243C3u), "0x414243c3");
    // Four bytes forming one character are text too.
    EXPECT_EQ(KeyToString(0xF09F9880u), "\xF0\x9F\x98\x80");
    // Encoded surrogates are not valid text.
    EXPECT_EQ(KeyToString(0xEDA08041u), "0xeda08041");
}

TEST(Report, LocalisedMessagesFollowTheCatalogue) {
    {
        CatalogueGuard guard(&GermanCatalogue);
        EXPECT_EQ(PSDError(PSDError::kBadSignature, "ABCD").Report(),
                  "Falsche Dateisignatur : ABCD");
        EXPECT_EQ(WarningText(MakeWarning(6, "Foo")), "Unerwarteter Schl\xC3\xBCssel : Foo\n");
        // The contexts are distinct: the warning translation is not used for the error.
        EXPECT_EQ(PSDError(PSDError::kUnknownBlendMode).Report(), "Unknown blend mode");
        EXPECT_EQ(WarningText(MakeWarning(1, "")), "Unbekannter Mischmodus (Warnung)\n");
        // Untranslated texts stay English; code 0 text is never looked up.
        EXPECT_EQ(PSDError(PSDError::kParsing).Report(), "Failed to parse the file");
        EXPECT_EQ(WarningText(MakeWarning(0, "", 0, "Unexpected key")), "Unexpected key\n");
    }
    EXPECT_EQ(PSDError(PSDError::kBadSignature, "ABCD").Report(), "Bad file signature : ABCD");
    EXPECT_EQ(WarningText(MakeWarning(6, "Foo")), "Unexpected key : Foo\n");
}

// The trace is configured once per process from the environment, so the check runs in a child.
TEST(ReportDeathTest, UnknownKeysGoToTheTraceOnly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::string path = testing::TempDir() + "zuzodoriv_unknown_key_trace.txt";
    std::remove(path.c_str());
    EXPECT_EXIT(
        {
            setenv("ZUZODORIV_TRACE", path.c_str(), 1);
            PSDReport r;
            r.m_warnings = Kernel::MakeCounted<PSDWarnings>();
            PrintUnknownKey(Key("lfx2"));
            PrintUnknownKey(0xFFFFFFFFu);
            std::exit(r.m_warnings->GetCount() == 0 && !r.m_error ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_EQ(ss.str(), "Unknown PSD key: lfx2\nUnknown PSD key: 0xffffffff\n");
    std::remove(path.c_str());
}
