#include <gtest/gtest.h>

#include "psd/descriptor/Descriptor.h"
#include "psd/descriptor/DescriptorJson.h"
#include "psd/report/DebugTrace.h"
#include "tests/psd/descriptor/DescriptorBytes.h"
#include "tests/support/OneByteStream.h"

using namespace PSD;
using desctest::DescBytes;
using namespace std::string_literals;

namespace {

int ErrorCode(ParseData const& pd) {
    return pd.m_report.m_error ? int(pd.m_report.m_error->GetCode()) : -1;
}

// One item of every kind that can be saved, with nesting, name and code keys.
DescBytes RichBody() {
    DescBytes b;
    b.Unicode(std::u16string(u"Caption\0", 8)).CodeKey("null").U32(12);
    b.CodeKey("Rd  ").Code("doub").Double(255.5);
    b.NameKey("masterFXSwitch").Code("bool").U8(1);
    b.CodeKey("Md  ").Code("enum").CodeKey("BlnM").NameKey("hardMix");
    b.NameKey("width").Code("UntF").Code("#Pxl").Double(12.5);
    b.CodeKey("Nm  ").Code("TEXT").Unicode(u"Layer \u00e9\u20ac");
    b.CodeKey("Ofst").Code("long").U32(uint32_t(-7));
    b.NameKey("list").Code("VlLs").U32(3).Code("long").U32(1).Code("TEXT").Unicode(u"");
    b.Code("Objc").Body("Pnt ", 2).CodeKey("Hrzn").Code("doub").Double(1);
    b.CodeKey("Vrtc").Code("doub").Double(2);
    b.CodeKey("null").Code("obj ").U32(4);
    b.Code("prop").Unicode(u"").CodeKey("Lyr ").CodeKey("Nm  ");
    b.Code("Clss").Unicode(u"Layer").CodeKey("Lyr ");
    b.Code("Enmr").Unicode(u"").CodeKey("Lyr ").CodeKey("Ordn").CodeKey("Trgt");
    b.Code("rele").Unicode(u"").NameKey("layerKind").U32(uint32_t(-3));
    b.CodeKey("Clss").Code("type").Unicode(u"Class").CodeKey("Lyr ");
    b.NameKey("alias").Code("alis").U32(5).Str("\x01\x02\x03\x04\x05");
    b.CodeKey("Objc").Code("Objc").Unicode(u"").NameKey("customClass").U32(0);
    b.NameKey("emptyList").Code("VlLs").U32(0);
    return b;
}

DescBytes WithVersion(std::vector<uint8_t> const& body, uint32_t version = 16) {
    return DescBytes().U32(version).Then(body);
}

// A body of one item under the code key "k   ".
DescBytes OneItem(char const (&type)[5]) {
    return DescBytes().Body("null", 1).CodeKey("k   ").Code(type);
}

}  // namespace

// Guards the writer: the same bytes back, in either byte order, with and without the version.
TEST(Descriptor, SavesBackByteForByteInBothByteOrders) {
    DescBytes block = WithVersion(RichBody());
    Descriptor d;
    ParseData pd;
    auto s = desctest::Stream(block);
    ASSERT_TRUE(d.Parse(*s, pd));
    EXPECT_EQ(s->GetPosition(), block.size());
    auto o = Kernel::MemoryInOutStreamBase::Create();
    ASSERT_TRUE(d.Save(*o, ByteOrderFixer{}));
    EXPECT_EQ(o->GetData(), std::vector<uint8_t>(block));

    // Written with every multi-byte value swapped, read with the flag off, it comes back identical.
    std::vector<uint8_t> little, again;
    ASSERT_TRUE(desctest::SaveBody(d, little, false));
    EXPECT_NE(little, std::vector<uint8_t>(RichBody()));
    ParseData le;
    le.m_swap = false;
    Descriptor d2;
    ASSERT_TRUE(desctest::ParseBody(little, d2, le)) << ErrorCode(le);
    EXPECT_EQ(d2.Get<DescriptorItemDouble>(Key("Rd  "))->m_value, 255.5);
    EXPECT_EQ(d2.Get<DescriptorItemString>(Key("Nm  "))->m_value, "Layer \xC3\xA9\xE2\x82\xAC");
    ASSERT_TRUE(desctest::SaveBody(d2, again, false));
    EXPECT_EQ(again, little);
}

// The forms a rich body does not show: empty parts, a name of one zero unit, global tags saved as
// their plain forms.
TEST(Descriptor, SmallBodiesSaveAsExpected) {
    struct Case {
        char const* what;
        DescBytes in, out;  // out empty: the same bytes as in
    } const cases[] = {
        {"only a zero unit in the name",
         DescBytes().Unicode(std::u16string(1, u'\0')).CodeKey("null").U32(0),
         {}},
        {"empty descriptor", DescBytes().Body("null", 0), {}},
        {"empty list", OneItem("VlLs").U32(0), {}},
        {"global object", OneItem("GlbO").Body("null", 0), OneItem("Objc").Body("null", 0)},
        {"global class", OneItem("GlbC").Unicode(u"X").CodeKey("Lyr "),
         OneItem("type").Unicode(u"X").CodeKey("Lyr ")},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        ParseData pd;
        Descriptor d;
        ASSERT_TRUE(desctest::ParseBody(c.in, d, pd)) << ErrorCode(pd);
        std::vector<uint8_t> out;
        ASSERT_TRUE(desctest::SaveBody(d, out));
        EXPECT_EQ(out, std::vector<uint8_t>(c.out.empty() ? c.in : c.out));
    }
}

// Guards against reads past the end: a whole buffer and a one-byte stream of unknown size.
TEST(Descriptor, CutAtEveryOffsetFailsAsTruncated) {
    DescBytes block = WithVersion(RichBody());
    for (size_t cut = 0; cut <= block.size(); ++cut) {
        SCOPED_TRACE(cut);
        std::vector<uint8_t> part(block.begin(), block.begin() + long(cut));
        ParseData pd, pd1;
        Descriptor d, d1;
        auto s = desctest::Stream(part);
        EXPECT_EQ(d.Parse(*s, pd), cut == block.size());
        EXPECT_LE(d.m_items.size(), 12u);
        testsupport::OneByteInStream raw(part);
        auto s1 = Kernel::ForwardBiasedSeekableInStream::Create(raw);
        EXPECT_EQ(d1.Parse(*s1, pd1), cut == block.size());
        if (cut < block.size()) {
            EXPECT_EQ(ErrorCode(pd), PSDError::kTruncated);
            EXPECT_EQ(ErrorCode(pd1), PSDError::kTruncated);
        }
    }
}

// Guards the error each malformed body stores, and that counts the data cannot hold reserve
// nothing.
TEST(Descriptor, MalformedBodiesFailWithTheirErrors) {
    struct Case {
        char const* what;
        DescBytes bytes;
        char const* report;
        size_t itemsKept = 0;
    };
    char const* truncated = "The file appears to be truncated";
    DescBytes deep = DescBytes().Body("null", 1);
    for (int i = 0; i < 5000; ++i) deep.CodeKey("Objc").Code("Objc").Body("null", 1);
    Case const cases[] = {
        {"item count", DescBytes().Body("null", 0xFFFFFFFF), truncated},
        {"name length", DescBytes().U32(0x7FFFFFFF).U16('a'), truncated},
        {"key length", DescBytes().Unicode(u"").U32(0xFFFFFFF0).Str("abc"), truncated},
        {"list count", OneItem("VlLs").U32(0xFFFFFFFF).Code("long").U32(1), truncated},
        {"reference count", OneItem("obj ").U32(0xFFFFFFFF), truncated},
        {"alias size", OneItem("alis").U32(0xFFFFFFFF).U32(0), truncated},
        {"engine data size", OneItem("tdta").U32(0x80000000), truncated},
        {"string length", OneItem("TEXT").U32(0xFFFFFFFF), truncated},
        {"deep nesting", deep, "Failed to parse the file"},
        {"unknown type after a good item",
         DescBytes().Body("null", 2).CodeKey("a   ").Code("long").U32(5).CodeKey("b   ").Code(
             "wxyz"),
         "Unknown descriptor type : wxyz", 1},
        {"unknown type in a list",
         OneItem("VlLs").U32(2).Code("long").U32(1).Code("\x01\x02\x03\x04"),
         "Unknown descriptor type : \x01\x02\x03\x04"},
        {"unprintable type", OneItem("\xFF\xFE\x00\x01"), "Unknown descriptor type : 0xfffe0001"},
        {"unknown reference form", OneItem("obj ").U32(1).Code("Idnt").U32(0),
         "Unknown descriptor reference type : Idnt"},
        {"unknown unit", OneItem("UntF").Code("#Foo").Double(1),
         "Unknown descriptor Unit Float type : #Foo"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        ParseData pd;
        Descriptor d;
        EXPECT_FALSE(desctest::ParseBody(c.bytes, d, pd));
        ASSERT_TRUE(pd.m_report.m_error);
        EXPECT_EQ(pd.m_report.m_error->Report(), c.report);
        EXPECT_EQ(d.m_items.size(), c.itemsKept);  // what was read before the failure stays
    }
    // A wrong version fails and records nothing.
    ParseData pd;
    Descriptor d;
    auto s = desctest::Stream(WithVersion(DescBytes().Body("null", 0), 15));
    EXPECT_FALSE(d.Parse(*s, pd));
    EXPECT_FALSE(pd.m_report.m_error);
}

// Guards look-ups: first match wins, code and name keys never mix, the type must match.
TEST(Descriptor, LookUps) {
    Descriptor d;
    d.AddItem(Key("Md  "), Kernel::MakeCounted<DescriptorItemInteger>(1));
    d.AddItem(DescriptorKey::Name("name"), Kernel::MakeCounted<DescriptorItemInteger>(2));
    d.AddItem(Key("Md  "), Kernel::MakeCounted<DescriptorItemInteger>(3));  // never replaces
    d.AddItem(DescriptorKey::Name("name"), Kernel::MakeCounted<DescriptorItemBool>(true));
    ASSERT_EQ(d.m_items.size(), 4u);
    EXPECT_FALSE(d.GetItem("Md  "));  // code keys are found by code only
    EXPECT_EQ(d.Get<DescriptorItemInteger>(Key("Md  "))->m_value, 1);
    EXPECT_EQ(d.Get<DescriptorItemInteger>("name")->m_value, 2);
    EXPECT_FALSE(d.Get<DescriptorItemBool>("name"));  // the first match is an integer
    EXPECT_FALSE(d.Get<DescriptorItemEnum>("missing"));
    EXPECT_FALSE(d.GetItem(Key("Nope")));
    EXPECT_EQ(DescriptorItem::TypeToString(DescriptorItem::kPDFData), "PDFData");
    EXPECT_EQ(DescriptorItem::TypeToString(DescriptorItem::kReference), "Reference");
    EXPECT_EQ(DescriptorItem::TypeToString(DescriptorItem::Type(12)), "");
}

// Guards the writer's error paths: a failed write anywhere, keys, sizes and items it cannot write.
TEST(Descriptor, SaveFailures) {
    ParseData pd;
    Descriptor d;
    ASSERT_TRUE(desctest::ParseBody(RichBody(), d, pd));
    std::vector<uint8_t> full;
    ASSERT_TRUE(desctest::SaveBody(d, full));
    for (size_t budget = 0; budget <= full.size(); ++budget) {
        desctest::FailingOutStream s(budget);
        EXPECT_EQ(d.SaveDesc(s, ByteOrderFixer{}), budget == full.size()) << budget;
    }
    Descriptor noKey, noClass, hugeAlias(DescriptorKey(Key("null")));
    noKey.AddItem(DescriptorKey(), Kernel::MakeCounted<DescriptorItemInteger>(1));
    noClass.m_classID = DescriptorKey();
    auto huge = Kernel::MakeCounted<DescriptorItemAliasData>();
    huge->m_size = uint64_t(1) << 32;
    hugeAlias.AddItem(Key("alis"), huge);
    std::vector<uint8_t> out;
    EXPECT_FALSE(desctest::SaveBody(noKey, out));
    EXPECT_FALSE(desctest::SaveBody(noClass, out));
    EXPECT_FALSE(desctest::SaveBody(hugeAlias, out));
    // Engine data parses (its tree is built on demand) and is written back as read.
    Descriptor engine;
    std::string text = "<< /A 1 >>";
    ASSERT_TRUE(
        desctest::ParseBody(OneItem("tdta").U32(uint32_t(text.size())).Str(text), engine, pd));
    auto item = engine.Get<DescriptorItemPDFData>(Key("k   "));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->GetSize(), text.size());
    EXPECT_EQ(item->GetPDFData().DynamicCast<PDFDictionary>()->GetInt("A", 0), 1);
    ASSERT_TRUE(desctest::SaveBody(engine, out));
    EXPECT_NE(std::string(out.begin(), out.end()).find("tdta\0\0\0\x0a<< /A 1 >>"), std::string::npos);
    EXPECT_FALSE(DescriptorItemPDFData().GetPDFData());
    // In the JSON form engine data is its tree; other raw data is given whole, in base64.
    EXPECT_EQ(DescriptorJson(engine)["items"][0]["value"], nlohmann::ordered_json({{"A", 1}}));
    for (auto const& [bytes, base64] : std::vector<std::pair<std::string, std::string>>{
             {"", ""},
             {"#", "Iw=="},
             {"#C", "I0M="},
             {"#CU", "I0NV"},
             {std::string("LUT\0\xff", 5), "TFVUAP8="}}) {
        Descriptor raw;
        auto data = Kernel::MakeCounted<DescriptorItemPDFData>();
        data->SetData(bytes.data(), bytes.size());
        raw.AddItem(DescriptorKey::Name(String("LUT3DFileData")), data);
        auto value = DescriptorJson(raw)["items"][0]["value"];
        EXPECT_EQ(value["base64"], base64) << bytes;
    }
}

// Guards every item reader against misplaced fields that a symmetric save would hide, and the
// exact dump texts that the dump tool prints.
TEST(Descriptor, RichBodyParsesAndDumpsEveryKind) {
    ParseData pd;
    Descriptor d;
    ASSERT_TRUE(desctest::ParseBody(RichBody(), d, pd)) << ErrorCode(pd);
    String dump;
    {
        DebugDumpCapture capture(dump);
        d.DebugDump(1);
    }
    // The terminator the writer included in the name stays, escaped.
    EXPECT_EQ(
        dump,
        "\t<descritor key='null' name=\"Caption\\000\">\n"
        "\t\t<descriptoritem type=double key='Rd  ' value=255.5>\n"
        "\t\t<descriptoritem type=bool key='masterFXSwitch' value=true>\n"
        "\t\t<descriptoritem type=enum key='Md  ' enumtype='BlnM' enumvalue='hardMix'>\n"
        "\t\t<descriptoritem type=unitfloat key='width' unittype=pixels value=12.5>\n"
        "\t\t<descriptoritem type=string key='Nm  ' value=\"Layer \xC3\xA9\xE2\x82\xAC\">\n"
        "\t\t<descriptoritem type=integer key='Ofst' value=-7>\n"
        "\t\t<descriptoritem type=list key='list'>\n"
        "\t\t\t<integer value=1>\n"
        "\t\t\t<string value=\"\">\n"
        "\t\t\t<descriptor>\n"
        "\t\t\t\t<descritor key='Pnt '>\n"
        "\t\t\t\t\t<descriptoritem type=double key='Hrzn' value=1>\n"
        "\t\t\t\t\t<descriptoritem type=double key='Vrtc' value=2>\n"
        "\t\t<descriptoritem type=reference key='null'>\n"
        "\t\t\t<type=property className=\"\" classkey='Lyr ' classid='Nm  '>\n"
        "\t\t\t<type=class className=\"Layer\" classkey='Lyr '>\n"
        "\t\t\t<type=enumerated className=\"\" classkey='Lyr ' enumtype='Ordn' enumvalue='Trgt'>\n"
        "\t\t\t<type=offset className=\"\" classkey='layerKind' offset=-3>\n"
        "\t\t<descriptoritem type=class key='Clss' name=\"Class\" classID='Lyr '>\n"
        "\t\t<descriptoritem type=aliasdata key='alias'>\n"
        "\t\t<descriptoritem type=descriptor key='Objc'>\n"
        "\t\t\t<descritor key='customClass'>\n"
        "\t\t<descriptoritem type=list key='emptyList'>\n"s);
    EXPECT_EQ(DebugQuoted("a\"b\\c\n\x01\x7f\xC3\xA9"), "\"a\\\"b\\\\c\\n\\001\\177\xC3\xA9\"");
    EXPECT_EQ(d.Get<DescriptorItemDouble>(Key("Rd  "))->m_value, 255.5);
    EXPECT_EQ(d.Get<DescriptorItemEnum>(Key("Md  "))->m_value.m_value.m_code, 0u);  // a name
    auto alias = d.Get<DescriptorItemAliasData>("alias");
    ASSERT_TRUE(alias);
    ASSERT_EQ(alias->GetSize(), 5u);
    EXPECT_EQ(alias->GetData()[4], 5);
    // The capture ends with its scope.
    String const before = dump;
    d.DebugDump(0);
    EXPECT_EQ(dump, before);
}
