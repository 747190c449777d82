#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>
#include <string>

#include "psd/report/PSDReport.h"

using namespace PSD;

namespace {

Kernel::Counted<PSDLoadWarning> MakeWarning(uint32_t code, String const& detail,
                                            uint32_t number = 0, String const& text = {}) {
    Kernel::Counted<PSDLoadWarning> w(
        new PSDLoadWarning(static_cast<PSDLoadWarning::Code>(code), detail));
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

Kernel::Counted<PSDWarning const> Other() {
    return Kernel::Counted<PSDWarning const>(new OtherWarning);
}

}  // namespace

// Guards the report's shortcuts: their codes, no stray fields, and release of the old error.
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
    EXPECT_EQ(r.m_error->Report(), "Failed to parse the file");
    r.SetError(PSDError::kUnsupportedVersion, "3", 3);
    EXPECT_EQ(r.m_error->Report(), "Unsupported PSD version : 3 [3]");
}

// Guards the warning table at its ends, the four suffix forms, code 0's own text, unknown codes.
TEST(Report, WarningTexts) {
    for (auto [code, title] : {std::pair{1u, "Unknown blend mode"}, {35u, "Missing mask data"}}) {
        SCOPED_TRACE(code);
        std::string t = title;
        EXPECT_EQ(WarningText(MakeWarning(code, "")), t + "\n");
        EXPECT_EQ(WarningText(MakeWarning(code, "d")), t + " : d\n");
        EXPECT_EQ(WarningText(MakeWarning(code, "", 12)), t + " [12]\n");
        EXPECT_EQ(WarningText(MakeWarning(code, "d", 1, "ignored")), t + " : d [1]\n");
    }
    // Code 0 takes its title from its text; no text, nothing at all. Unknown codes say nothing.
    EXPECT_EQ(WarningText(MakeWarning(0, "", 0, "Custom title")), "Custom title\n");
    EXPECT_EQ(WarningText(MakeWarning(0, "ctx", 3, "Custom title")), "Custom title : ctx [3]\n");
    EXPECT_EQ(WarningText(MakeWarning(0, "ctx", 3)), "");
    for (uint32_t unknown : {36u, 0xFFFFFFFFu}) {
        EXPECT_EQ(WarningText(MakeWarning(unknown, "detail", 4, "text")), "") << unknown;
        EXPECT_STREQ(PSDLoadWarning::GetTitle(unknown), "") << unknown;
    }
    // Report appends; it never clears what is there.
    String out = "before\n";
    MakeWarning(1, "x")->Report(out);
    EXPECT_EQ(out, "before\nUnknown blend mode : x\n");
}

// Guards what makes two warnings the same: code, detail, number byte for byte, text for code 0.
TEST(Report, RepeatRules) {
    struct Case {
        char const* what;
        Kernel::Counted<PSDLoadWarning> a, b;
        bool repeat;
    } const cases[] = {
        {"same", MakeWarning(6, "Foo"), MakeWarning(6, "Foo"), true},
        {"other detail", MakeWarning(6, "Foo"), MakeWarning(6, "Bar"), false},
        {"other code", MakeWarning(6, "Foo"), MakeWarning(7, "Foo"), false},
        {"other number", MakeWarning(6, "Foo"), MakeWarning(6, "Foo", 1), false},
        {"case differs", MakeWarning(6, "Foo"), MakeWarning(6, "foo"), false},
        {"text outside code 0", MakeWarning(6, "Foo"), MakeWarning(6, "Foo", 0, "whatever"), true},
        {"code 0 same", MakeWarning(0, "Foo", 0, "One"), MakeWarning(0, "Foo", 0, "One"), true},
        {"code 0 text", MakeWarning(0, "Foo", 0, "One"), MakeWarning(0, "Foo", 0, "Two"), false},
        {"code 0 detail", MakeWarning(0, "Foo", 0, "One"), MakeWarning(0, "Bar", 0, "One"), false},
        // A text that ends where the detail begins is still a different warning.
        {"code 0 split", MakeWarning(0, "bc", 0, "a"), MakeWarning(0, "c", 0, "ab"), false},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.a->IsRepeat(c.b), c.repeat);
        Kernel::Counted<PSDWarnings> ws(new PSDWarnings);  // the collection agrees
        ws->Add(c.a);
        ws->Add(c.b);
        EXPECT_EQ(ws->GetCount(), c.repeat ? 1u : 2u);
    }
    // Null and other kinds are never repeats.
    EXPECT_FALSE(MakeWarning(6, "Foo")->IsRepeat(nullptr));
    EXPECT_FALSE(MakeWarning(6, "Foo")->IsRepeat(Other()));
}

// Guards the collection and the report's way into it: nothing kept without a collection, repeats
// dropped, first occurrences kept in order, other kinds kept.
TEST(Report, WarningsCollectionDedupesAndKeepsOrder) {
    PSDReport r;
    r.AddWarning(MakeWarning(6, "Foo"));
    r.AddWarning(PSDLoadWarning::kUnexpectedKey, "Foo");
    EXPECT_FALSE(r.m_warnings);
    EXPECT_FALSE(r.m_error);
    r.m_warnings = Kernel::MakeCounted<PSDWarnings>();
    auto const& ws = r.m_warnings;
    EXPECT_EQ(ws->Report(), "");
    r.AddWarning(MakeWarning(6, "Foo"));
    r.AddWarning(PSDLoadWarning::kUnexpectedKey, "Foo");
    r.AddWarning(PSDLoadWarning::kUnexpectedKey, "Bar");
    ws->Add(MakeWarning(0, "same", 0, "A"));
    ws->Add(MakeWarning(0, "same", 0, "B"));
    ws->Add(MakeWarning(6, "Foo", 2));
    ws->Add(nullptr);
    r.AddWarning(nullptr);
    ws->Add(Other());
    ws->Add(Other());                // its own repeats follow its own rule
    ws->Add(MakeWarning(6, "Bar"));  // a later repeat does not move the first occurrence
    EXPECT_EQ(ws->GetCount(), 6u);
    // A warning without a title stays in the collection but reports nothing.
    ws->Add(MakeWarning(40, "silent"));
    EXPECT_EQ(ws->GetCount(), 7u);
    EXPECT_EQ(ws->Report(),
              "Unexpected key : Foo\n"
              "Unexpected key : Bar\n"
              "A : same\n"
              "B : same\n"
              "Unexpected key : Foo [2]\n"
              "other\n");
}

// Guards against quadratic slow-down when a document raises warnings without bound.
TEST(Report, ManyDistinctWarningsAreAllKept) {
    Kernel::Counted<PSDWarnings> ws(new PSDWarnings);
    for (int round = 0; round < 2; ++round)
        for (uint32_t i = 0; i < 50000; ++i) ws->Add(MakeWarning(2, "key " + Kernel::ToString(i)));
    EXPECT_EQ(ws->GetCount(), 50000u);
    auto first = ws->GetWarnings().front().DynamicCast<PSDLoadWarning const>();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->m_detail, "key 0");
}

// Guards the repeat index against going stale: subclasses, and the sequence edited directly.
TEST(Report, RepeatsAreFoundWhateverWayTheyWereAdded) {
    struct Tagged : PSDLoadWarning {
        Tagged() : PSDLoadWarning(kUnexpectedKey, "Foo") {}
    };
    Kernel::Counted<PSDWarnings> ws(new PSDWarnings);
    ws->Add(Kernel::Counted<PSDWarning const>(new Tagged));
    ws->Add(MakeWarning(6, "Foo"));
    ws->Add(Kernel::Counted<PSDWarning const>(new Tagged));
    EXPECT_EQ(ws->GetCount(), 1u);
    // Elements put into the sequence directly still count as held...
    ws->m_warnings.push_back(MakeWarning(7, "Bar"));
    ws->Add(MakeWarning(7, "Bar"));
    EXPECT_EQ(ws->GetCount(), 2u);
    // ...and elements taken out no longer do.
    ws->m_warnings.clear();
    ws->Add(MakeWarning(6, "Foo"));
    ws->Add(MakeWarning(7, "Bar"));
    EXPECT_EQ(ws->GetCount(), 2u);
}

// Guards key texts: valid UTF-8 shows as text, anything else as hexadecimal without zeros.
TEST(Report, KeyFormatting) {
    EXPECT_EQ(Key("8BIM"), 0x3842494Du);
    std::pair<uint32_t, char const*> const cases[] = {
        {Key("8BIM"), "8BIM"},
        {Key("lfx2"), "lfx2"},
        {0xFFFFFFFFu, "0xffffffff"},
        {0x00FF0102u, "0xff0102"},
        {0x80414243u, "0x80414243"},
        {0x41C3A942u,
         "A\xC3\xA9"
         "B"},                              // a valid two-byte sequence
        {0x414243C3u, "0x414243c3"},        // a cut one
        {0xF09F9880u, "\xF0\x9F\x98\x80"},  // four bytes, one character
        {0xEDA08041u, "0xeda08041"},        // an encoded surrogate is no text
    };
    for (auto const& [key, text] : cases) EXPECT_EQ(KeyToString(key), text) << std::hex << key;
}

// Guards translation through the catalogue, per context, and the return to English.
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
