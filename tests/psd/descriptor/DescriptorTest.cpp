#include <gtest/gtest.h>

#include "psd/descriptor/DebugTrace.h"
#include "psd/descriptor/Descriptor.h"
#include "tests/psd/descriptor/DescriptorBytes.h"
#include "tests/support/OneByteStream.h"

using namespace PSD;
using desctest::DescBytes;

namespace {

int ErrorCode(ParseData const& pd) {
    return pd.m_report.m_error ? int(pd.m_report.m_error->GetCode()) : -1;
}
String ErrorDetail(ParseData const& pd) {
    return pd.m_report.m_error ? pd.m_report.m_error->GetDetail() : String("?");
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
    b.NameKey("list").Code("VlLs").U32(3);
    b.Code("long").U32(1);
    b.Code("TEXT").Unicode(u"");
    b.Code("Objc")
        .Body("Pnt ", 2)
        .CodeKey("Hrzn")
        .Code("doub")
        .Double(1)
        .CodeKey("Vrtc")
        .Code("doub")
        .Double(2);
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
    DescBytes b;
    b.U32(version).Then(body);
    return b;
}

// Fails every write once a byte budget is used up.
class FailingOutStream : public Kernel::OutStreamSeekable {
public:
    explicit FailingOutStream(size_t budget) : m_budget(budget) {}
    bool Write(void const*, size_t n) override {
        if (n > m_budget) {
            m_budget = 0;
            return false;
        }
        m_budget -= n;
        m_pos += n;
        return true;
    }
    uint64_t GetPosition() const override { return m_pos; }
    bool Seek(uint64_t pos) override {
        m_pos = pos;
        return true;
    }

private:
    size_t m_budget;
    uint64_t m_pos = 0;
};

}  // namespace

TEST(Descriptor, RichBodyParsesWithEveryKind) {
    ParseData pd;
    Descriptor d;
    ASSERT_TRUE(desctest::ParseBody(RichBody(), d, pd)) << ErrorCode(pd);
    EXPECT_EQ(d.m_name, std::string("Caption\0", 8));  // the terminator the writer included stays
    EXPECT_EQ(d.m_classID.m_code, Key("null"));
    ASSERT_EQ(d.m_items.size(), 12u);

    auto rd = d.Get<DescriptorItemDouble>(Key("Rd  "));
    ASSERT_TRUE(rd);
    EXPECT_EQ(rd->m_value, 255.5);
    auto sw = d.Get<DescriptorItemBool>("masterFXSwitch");
    ASSERT_TRUE(sw);
    EXPECT_TRUE(sw->m_value);
    auto md = d.Get<DescriptorItemEnum>(Key("Md  "));
    ASSERT_TRUE(md);
    EXPECT_EQ(md->m_value.m_type.m_code, Key("BlnM"));
    EXPECT_EQ(md->m_value.m_value.m_code, 0u);
    EXPECT_EQ(md->m_value.m_value.m_name, "hardMix");
    auto w = d.Get<DescriptorItemUnitFloat>("width");
    ASSERT_TRUE(w);
    EXPECT_EQ(w->m_unit, DescriptorItemUnitFloat::Pixels);
    EXPECT_EQ(w->m_value, 12.5);
    auto nm = d.Get<DescriptorItemString>(Key("Nm  "));
    ASSERT_TRUE(nm);
    EXPECT_EQ(nm->m_value, "Layer \xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(d.Get<DescriptorItemInteger>(Key("Ofst"))->m_value, -7);
    auto list = d.Get<DescriptorItemList>("list");
    ASSERT_TRUE(list);
    ASSERT_EQ(list->m_items.size(), 3u);
    EXPECT_EQ(list->m_items[2]->GetType(), DescriptorItem::kDescriptor);
    auto pnt = list->m_items[2].DynamicCast<DescriptorItemDescriptor>();
    ASSERT_TRUE(pnt);
    EXPECT_EQ(pnt->m_descriptor.m_classID.m_code, Key("Pnt "));
    EXPECT_EQ(pnt->m_descriptor.Get<DescriptorItemDouble>(Key("Vrtc"))->m_value, 2.0);

    auto ref = d.Get<DescriptorItemReference>(Key("null"));
    ASSERT_TRUE(ref);
    ASSERT_EQ(ref->m_items.size(), 4u);
    EXPECT_EQ(ref->m_items[0]->GetType(), ReferenceItem::kProperty);
    EXPECT_EQ(ref->m_items[1]->GetType(), ReferenceItem::kClass);
    EXPECT_EQ(ref->m_items[2]->GetType(), ReferenceItem::kEnumerated);
    EXPECT_EQ(ref->m_items[3]->GetType(), ReferenceItem::kOffset);
    EXPECT_EQ(ref->m_items[1]->m_className, "Layer");
    EXPECT_EQ(ref->m_items[0].DynamicCast<ReferenceItemProperty>()->m_property.m_code, Key("Nm  "));
    EXPECT_EQ(ref->m_items[2].DynamicCast<ReferenceItemEnumerated>()->m_enum.m_value.m_code,
              Key("Trgt"));
    auto off = ref->m_items[3].DynamicCast<ReferenceItemOffset>();
    EXPECT_EQ(off->m_offset, -3);
    EXPECT_EQ(off->m_classKey.m_name, "layerKind");

    auto cls = d.Get<DescriptorItemClass>(Key("Clss"));
    ASSERT_TRUE(cls);
    EXPECT_EQ(cls->m_name, "Class");
    EXPECT_EQ(cls->m_classID.m_code, Key("Lyr "));
    auto alias = d.Get<DescriptorItemAliasData>("alias");
    ASSERT_TRUE(alias);
    ASSERT_EQ(alias->GetSize(), 5u);
    EXPECT_EQ(alias->GetData()[4], 5);
    auto nested = d.Get<DescriptorItemDescriptor>(Key("Objc"));
    ASSERT_TRUE(nested);
    EXPECT_EQ(nested->m_descriptor.m_classID.m_name, "customClass");
    EXPECT_TRUE(nested->m_descriptor.m_items.empty());
    EXPECT_TRUE(d.Get<DescriptorItemList>("emptyList")->m_items.empty());
}

TEST(Descriptor, SavesBackByteForByte) {
    DescBytes body = RichBody();
    ParseData pd;
    Descriptor d;
    ASSERT_TRUE(desctest::ParseBody(body, d, pd));
    std::vector<uint8_t> out;
    ASSERT_TRUE(desctest::SaveBody(d, out));
    EXPECT_EQ(out, std::vector<uint8_t>(body));

    // With the version in front, through Parse and Save.
    DescBytes block = WithVersion(body);
    Descriptor d2;
    ParseData pd2;
    auto s = desctest::Stream(block);
    ASSERT_TRUE(d2.Parse(*s, pd2));
    EXPECT_EQ(s->GetPosition(), block.size());
    auto o = Kernel::MemoryInOutStreamBase::Create();
    ASSERT_TRUE(d2.Save(*o, ByteOrderFixer{}));
    EXPECT_EQ(o->GetData(), std::vector<uint8_t>(block));
}

TEST(Descriptor, LittleEndianDocumentsRoundTripInTheirOwnOrder) {
    // A descriptor written with every multi-byte value swapped: read with the flag off, saved
    // with the flag off, it must come back identical.
    ParseData be;
    Descriptor d;
    ASSERT_TRUE(desctest::ParseBody(RichBody(), d, be));
    std::vector<uint8_t> little;
    ASSERT_TRUE(desctest::SaveBody(d, little, false));
    EXPECT_NE(little, std::vector<uint8_t>(RichBody()));
    ParseData le;
    le.m_swap = false;
    Descriptor d2;
    ASSERT_TRUE(desctest::ParseBody(little, d2, le)) << ErrorCode(le);
    EXPECT_EQ(d2.m_items.size(), 12u);
    EXPECT_EQ(d2.Get<DescriptorItemDouble>(Key("Rd  "))->m_value, 255.5);
    EXPECT_EQ(d2.Get<DescriptorItemString>(Key("Nm  "))->m_value, "Layer \xC3\xA9\xE2\x82\xAC");
    std::vector<uint8_t> again;
    ASSERT_TRUE(desctest::SaveBody(d2, again, false));
    EXPECT_EQ(again, little);
}

TEST(Descriptor, CutAtEveryOffsetFailsAsTruncated) {
    DescBytes block = WithVersion(RichBody());
    for (size_t cut = 0; cut < block.size(); ++cut) {
        SCOPED_TRACE(cut);
        std::vector<uint8_t> part(block.begin(), block.begin() + cut);
        ParseData pd;
        Descriptor d;
        auto s = desctest::Stream(part);
        EXPECT_FALSE(d.Parse(*s, pd));
        EXPECT_EQ(ErrorCode(pd), PSDError::kTruncated);
        EXPECT_LE(d.m_items.size(), 12u);
    }
}

TEST(Descriptor, CutStreamsOfUnknownSizeFailAsTruncated) {
    DescBytes block = WithVersion(RichBody());
    for (size_t cut = 0; cut <= block.size(); cut += 3) {
        SCOPED_TRACE(cut);
        testsupport::OneByteInStream raw(std::vector<uint8_t>(block.begin(), block.begin() + cut));
        auto s = Kernel::ForwardBiasedSeekableInStream::Create(raw);
        ParseData pd;
        Descriptor d;
        bool ok = d.Parse(*s, pd);
        EXPECT_EQ(ok, cut == block.size());
        if (!ok) {
            EXPECT_EQ(ErrorCode(pd), PSDError::kTruncated);
        }
    }
}

TEST(Descriptor, DeclaredCountsBeyondTheDataFailWithoutReserving) {
    struct Case {
        char const* what;
        DescBytes bytes;
    };
    std::vector<Case> cases;
    cases.push_back({"item count", DescBytes().Body("null", 0xFFFFFFFF)});
    cases.push_back({"name length", DescBytes().U32(0x7FFFFFFF).U16('a')});
    cases.push_back({"key length", DescBytes().Unicode(u"").U32(0xFFFFFFF0).Str("abc")});
    cases.push_back({"list count", DescBytes()
                                       .Body("null", 1)
                                       .CodeKey("list")
                                       .Code("VlLs")
                                       .U32(0xFFFFFFFF)
                                       .Code("long")
                                       .U32(1)});
    cases.push_back({"reference count",
                     DescBytes().Body("null", 1).CodeKey("null").Code("obj ").U32(0xFFFFFFFF)});
    cases.push_back(
        {"alias size",
         DescBytes().Body("null", 1).CodeKey("alis").Code("alis").U32(0xFFFFFFFF).U32(0)});
    cases.push_back({"engine data size",
                     DescBytes().Body("null", 1).CodeKey("tdta").Code("tdta").U32(0x80000000)});
    cases.push_back({"string length",
                     DescBytes().Body("null", 1).CodeKey("TEXT").Code("TEXT").U32(0xFFFFFFFF)});
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        ParseData pd;
        Descriptor d;
        EXPECT_FALSE(desctest::ParseBody(c.bytes, d, pd));
        EXPECT_EQ(ErrorCode(pd), PSDError::kTruncated);
    }
}

TEST(Descriptor, DeepNestingFailsCleanly) {
    DescBytes b;
    b.Body("null", 1);
    for (int i = 0; i < 5000; ++i) b.CodeKey("Objc").Code("Objc").Body("null", 1);
    ParseData pd;
    Descriptor d;
    EXPECT_FALSE(desctest::ParseBody(b, d, pd));
    EXPECT_EQ(ErrorCode(pd), PSDError::kParsing);
}

TEST(Descriptor, Keys) {
    ParseData pd;
    DescriptorKey k;
    auto s = desctest::Stream(DescBytes().CodeKey("Clr "));
    ASSERT_TRUE(k.Parse(*s, pd));
    EXPECT_EQ(k.m_code, Key("Clr "));
    EXPECT_TRUE(k.m_name.empty());

    DescriptorKey n;
    s = desctest::Stream(DescBytes().NameKey("masterFXSwitch").Str("trailing"));
    ASSERT_TRUE(n.Parse(*s, pd));
    EXPECT_EQ(n.m_code, 0u);
    EXPECT_EQ(n.m_name, "masterFXSwitch");
    EXPECT_EQ(s->GetPosition(), 4u + 14u);  // exactly L bytes, no terminator

    DescriptorKey none;
    auto o = Kernel::MemoryInOutStreamBase::Create();
    EXPECT_FALSE(none.Save(*o, ByteOrderFixer{}));  // neither code nor name
    DescriptorKey named = DescriptorKey::Name("abc");
    named.Set(Key("abcd"));
    EXPECT_TRUE(named.m_name.empty());
    EXPECT_EQ(named.ToString(), "abcd");
    named.Set(String("xyz"));
    EXPECT_EQ(named.m_code, 0u);
    EXPECT_EQ(named.ToString(), "xyz");
}

TEST(Descriptor, UnicodeStringWithOnlyAZeroUnit) {
    DescBytes b;
    b.Unicode(std::u16string(1, u'\0')).CodeKey("null").U32(0);
    ParseData pd;
    Descriptor d;
    ASSERT_TRUE(desctest::ParseBody(b, d, pd));
    EXPECT_EQ(d.m_name, std::string(1, '\0'));
    std::vector<uint8_t> out;
    ASSERT_TRUE(desctest::SaveBody(d, out));
    EXPECT_EQ(out, std::vector<uint8_t>(b));
}

TEST(Descriptor, EmptyListAndEmptyDescriptorRoundTrip) {
    for (DescBytes b : std::vector<DescBytes>{
             DescBytes().Body("null", 0),
             DescBytes().Body("null", 1).CodeKey("l   ").Code("VlLs").U32(0),
             DescBytes().Body("null", 1).CodeKey("o   ").Code("Objc").Body("null", 0)}) {
        ParseData pd;
        Descriptor d;
        ASSERT_TRUE(desctest::ParseBody(b, d, pd));
        std::vector<uint8_t> out;
        ASSERT_TRUE(desctest::SaveBody(d, out));
        EXPECT_EQ(out, std::vector<uint8_t>(b));
    }
}

TEST(Descriptor, GlobalTagsSaveAsTheirPlainForms) {
    DescBytes in, expected;
    in.Body("null", 2)
        .CodeKey("o   ")
        .Code("GlbO")
        .Body("null", 0)
        .CodeKey("c   ")
        .Code("GlbC")
        .Unicode(u"X")
        .CodeKey("Lyr ");
    expected.Body("null", 2)
        .CodeKey("o   ")
        .Code("Objc")
        .Body("null", 0)
        .CodeKey("c   ")
        .Code("type")
        .Unicode(u"X")
        .CodeKey("Lyr ");
    ParseData pd;
    Descriptor d;
    ASSERT_TRUE(desctest::ParseBody(in, d, pd));
    EXPECT_EQ(d.m_items[0].m_item->GetType(), DescriptorItem::kDescriptor);
    EXPECT_EQ(d.m_items[1].m_item->GetType(), DescriptorItem::kClass);
    std::vector<uint8_t> out;
    ASSERT_TRUE(desctest::SaveBody(d, out));
    EXPECT_EQ(out, std::vector<uint8_t>(expected));
}

TEST(Descriptor, EngineDataItemParsesButCannotBeSaved) {
    std::string engine = "<< /EngineDict << /Editor << /Text (hi) >> >> >>";
    DescBytes b;
    b.Body("TxLr", 2).CodeKey("Txt ").Code("TEXT").Unicode(u"hi");
    b.NameKey("EngineData").Code("tdta").U32(uint32_t(engine.size())).Str(engine);
    ParseData pd;
    Descriptor d;
    ASSERT_TRUE(desctest::ParseBody(b, d, pd));
    auto item = d.Get<DescriptorItemPDFData>("EngineData");
    ASSERT_TRUE(item);
    EXPECT_EQ(item->GetSize(), engine.size());
    auto tree = item->GetPDFData().DynamicCast<PDFDictionary>();
    ASSERT_TRUE(tree);
    auto editor = tree->GetValue("EngineDict", "Editor").DynamicCast<PDFDictionary>();
    ASSERT_TRUE(editor);
    EXPECT_EQ(editor->GetString("Text"), "hi");
    std::vector<uint8_t> out;
    EXPECT_FALSE(desctest::SaveBody(d, out));

    DescriptorItemPDFData empty;
    EXPECT_FALSE(empty.GetPDFData());
}

TEST(Descriptor, UnitFloats) {
    ParseData pd;
    Descriptor d;
    DescBytes ok;
    ok.Body("null", 1).NameKey("w").Code("UntF").Code("#Pxl").Double(12.5);
    ASSERT_TRUE(desctest::ParseBody(ok, d, pd));
    std::vector<uint8_t> out;
    ASSERT_TRUE(desctest::SaveBody(d, out));
    EXPECT_EQ(out, std::vector<uint8_t>(ok));

    // Every unit of the table survives a round trip under its own code.
    char const* codes[] = {"#Nne", "#Ang", "#Rsl", "#Rlt", "#Prc",
                           "#Pxl", "#Pnt", "#Mlm", "RrCm", "RrIn"};
    for (uint32_t u = 0; u < 10; ++u) {
        DescBytes b;
        b.Body("null", 1).NameKey("w").Code("UntF");
        b.Str(codes[u]).Double(-1.25);
        ParseData p;
        Descriptor one;
        ASSERT_TRUE(desctest::ParseBody(b, one, p)) << codes[u];
        EXPECT_EQ(one.Get<DescriptorItemUnitFloat>("w")->m_unit, u);
        ASSERT_TRUE(desctest::SaveBody(one, out));
        EXPECT_EQ(out, std::vector<uint8_t>(b));
    }

    DescBytes bad;
    bad.Body("null", 1).NameKey("w").Code("UntF").Code("#Foo").Double(1);
    ParseData pb;
    Descriptor db;
    EXPECT_FALSE(desctest::ParseBody(bad, db, pb));
    EXPECT_EQ(ErrorCode(pb), PSDError::kUnknownDescriptorUnitFloatType);
    EXPECT_EQ(ErrorDetail(pb), "#Foo");
    EXPECT_EQ(pb.m_report.m_error->Report(), "Unknown descriptor Unit Float type : #Foo");

    // Units outside the table are written as "none".
    for (uint32_t u : {0u, 10u, 0xFFFFFFFFu}) {
        Descriptor w(DescriptorKey(Key("null")));
        w.AddItem(DescriptorKey::Name("w"), Kernel::MakeCounted<DescriptorItemUnitFloat>(
                                                DescriptorItemUnitFloat::UnitType(u), 3.0));
        ASSERT_TRUE(desctest::SaveBody(w, out));
        DescBytes expected;
        expected.Body("null", 1).NameKey("w").Code("UntF").Code("#Nne").Double(3.0);
        EXPECT_EQ(out, std::vector<uint8_t>(expected)) << u;
    }
    EXPECT_EQ(DescriptorItemUnitFloat::UnitTypeToString(DescriptorItemUnitFloat::Inch), "Inch");
    EXPECT_EQ(DescriptorItemUnitFloat::UnitTypeToString(DescriptorItemUnitFloat::MM), "MM");
    EXPECT_EQ(DescriptorItemUnitFloat::UnitTypeToString(DescriptorItemUnitFloat::UnitType(10)), "");
}

TEST(Descriptor, ParseFailuresRecordTheirErrors) {
    {
        ParseData pd;
        Descriptor d;
        auto s = desctest::Stream(WithVersion(DescBytes().Body("null", 0), 15));
        EXPECT_FALSE(d.Parse(*s, pd));
        EXPECT_FALSE(pd.m_report.m_error);  // a wrong version records nothing
    }
    {
        ParseData pd;
        Descriptor d;
        DescBytes b;
        b.Body("null", 2).CodeKey("a   ").Code("long").U32(5).CodeKey("b   ").Code("wxyz").U32(0);
        EXPECT_FALSE(desctest::ParseBody(b, d, pd));
        EXPECT_EQ(ErrorCode(pd), PSDError::kUnknownDescriptorType);
        EXPECT_EQ(ErrorDetail(pd), "wxyz");
        ASSERT_EQ(d.m_items.size(), 1u);  // what was read before the failure stays
    }
    {
        ParseData pd;
        Descriptor d;
        DescBytes b;
        b.Body("null", 1).CodeKey("l   ").Code("VlLs").U32(2).Code("long").U32(1).Code(
            "\x01\x02\x03\x04");
        EXPECT_FALSE(desctest::ParseBody(b, d, pd));
        EXPECT_EQ(ErrorCode(pd), PSDError::kUnknownDescriptorType);
        EXPECT_EQ(ErrorDetail(pd), String("\x01\x02\x03\x04"));
    }
    {
        ParseData pd;
        Descriptor d;
        DescBytes b;
        b.Body("null", 1).CodeKey("null").Code("obj ").U32(1).Code("Idnt").U32(0);
        EXPECT_FALSE(desctest::ParseBody(b, d, pd));
        EXPECT_EQ(ErrorCode(pd), PSDError::kUnknownDescriptorReferenceType);
        EXPECT_EQ(ErrorDetail(pd), "Idnt");
    }
    {
        ParseData pd;
        Descriptor d;
        DescBytes b;
        b.Body("null", 1).CodeKey("t   ").Code("\xFF\xFE\x00\x01");
        EXPECT_FALSE(desctest::ParseBody(b, d, pd));
        EXPECT_EQ(ErrorDetail(pd), "0xfffe0001");
    }
}

TEST(Descriptor, LookUps) {
    Descriptor d;
    d.AddItem(Key("Md  "), Kernel::MakeCounted<DescriptorItemInteger>(1));
    d.AddItem(DescriptorKey::Name("name"), Kernel::MakeCounted<DescriptorItemInteger>(2));
    d.AddItem(Key("Md  "), Kernel::MakeCounted<DescriptorItemInteger>(3));  // never replaces
    d.AddItem(DescriptorKey::Name("name"), Kernel::MakeCounted<DescriptorItemBool>(true));
    ASSERT_EQ(d.m_items.size(), 4u);
    EXPECT_FALSE(d.GetItem("Md  "));  // code keys are found by code only
    ASSERT_TRUE(d.GetItem(Key("Md  ")));
    EXPECT_EQ(d.Get<DescriptorItemInteger>(Key("Md  "))->m_value, 1);
    EXPECT_EQ(d.Get<DescriptorItemInteger>("name")->m_value, 2);
    EXPECT_FALSE(d.Get<DescriptorItemBool>("name"));  // the first match is an integer
    EXPECT_FALSE(d.Get<DescriptorItemEnum>("missing"));
    EXPECT_FALSE(d.GetItem(Key("Nope")));
    EXPECT_FALSE(d.GetItem(0u) && false);
    EXPECT_EQ(DescriptorItem::TypeToString(DescriptorItem::kPDFData), "PDFData");
    EXPECT_EQ(DescriptorItem::TypeToString(DescriptorItem::kReference), "Reference");
    EXPECT_EQ(DescriptorItem::TypeToString(DescriptorItem::Type(12)), "");
}

TEST(Descriptor, SaveFailures) {
    ParseData pd;
    Descriptor d;
    ASSERT_TRUE(desctest::ParseBody(RichBody(), d, pd));
    std::vector<uint8_t> full;
    ASSERT_TRUE(desctest::SaveBody(d, full));
    for (size_t budget = 0; budget < full.size(); ++budget) {
        FailingOutStream s(budget);
        EXPECT_FALSE(d.SaveDesc(s, ByteOrderFixer{})) << budget;
    }
    FailingOutStream enough(full.size());
    EXPECT_TRUE(d.SaveDesc(enough, ByteOrderFixer{}));

    Descriptor bad;
    bad.AddItem(DescriptorKey(), Kernel::MakeCounted<DescriptorItemInteger>(1));
    std::vector<uint8_t> out;
    EXPECT_FALSE(desctest::SaveBody(bad, out));

    Descriptor badClass;
    badClass.m_classID = DescriptorKey();
    EXPECT_FALSE(desctest::SaveBody(badClass, out));

    auto huge = Kernel::MakeCounted<DescriptorItemAliasData>();
    huge->m_size = uint64_t(1) << 32;
    Descriptor withHuge(DescriptorKey(Key("null")));
    withHuge.AddItem(Key("alis"), huge);
    EXPECT_FALSE(desctest::SaveBody(withHuge, out));
}

TEST(Descriptor, DebugDumpTexts) {
    DescBytes b;
    b.Unicode(u"Nm").CodeKey("Cls ").U32(9);
    b.CodeKey("Rd  ").Code("doub").Double(2.5);
    b.NameKey("w").Code("UntF").Code("#Pxl").Double(3);
    b.CodeKey("Nm  ").Code("TEXT").Unicode(u"a b");
    b.CodeKey("Md  ").Code("enum").CodeKey("BlnM").NameKey("hardMix");
    b.CodeKey("On  ").Code("bool").U8(0);
    b.CodeKey("Cl  ").Code("type").Unicode(u"C").CodeKey("Lyr ");
    b.CodeKey("Al  ").Code("alis").U32(1).U8(9);
    b.CodeKey("Ls  ")
        .Code("VlLs")
        .U32(2)
        .Code("long")
        .U32(uint32_t(-4))
        .Code("Objc")
        .Body("Pnt ", 0);
    b.CodeKey("null").Code("obj ").U32(4);
    b.Code("prop").Unicode(u"").CodeKey("Lyr ").CodeKey("Nm  ");
    b.Code("Clss").Unicode(u"L").CodeKey("Lyr ");
    b.Code("Enmr").Unicode(u"").CodeKey("Lyr ").CodeKey("Ordn").CodeKey("Trgt");
    b.Code("rele").Unicode(u"").CodeKey("Lyr ").U32(2);
    ParseData pd;
    Descriptor d;
    ASSERT_TRUE(desctest::ParseBody(b, d, pd));
    String dump;
    {
        DebugDumpCapture capture(dump);
        d.DebugDump(1);
    }
    EXPECT_EQ(
        dump,
        "\t<descritor key='Cls ' name=\"Nm\">\n"
        "\t\t<descriptoritem type=double key='Rd  ' value=2.5>\n"
        "\t\t<descriptoritem type=unitfloat key='w' unittype=pixels value=3>\n"
        "\t\t<descriptoritem type=string key='Nm  ' value=\"a b\">\n"
        "\t\t<descriptoritem type=enum key='Md  ' enumtype='BlnM' enumvalue='hardMix'>\n"
        "\t\t<descriptoritem type=bool key='On  ' value=false>\n"
        "\t\t<descriptoritem type=class key='Cl  ' name=\"C\" classID='Lyr '>\n"
        "\t\t<descriptoritem type=aliasdata key='Al  '>\n"
        "\t\t<descriptoritem type=list key='Ls  '>\n"
        "\t\t\t<integer value=-4>\n"
        "\t\t\t<descriptor>\n"
        "\t\t\t\t<descritor key='Pnt '>\n"
        "\t\t<descriptoritem type=reference key='null'>\n"
        "\t\t\t<type=property className=\"\" classkey='Lyr ' classid='Nm  '>\n"
        "\t\t\t<type=class className=\"L\" classkey='Lyr '>\n"
        "\t\t\t<type=enumerated className=\"\" classkey='Lyr ' enumtype='Ordn' enumvalue='Trgt'>\n"
        "\t\t\t<type=offset className=\"\" classkey='Lyr ' offset=2>\n");

    // The capture ends with its scope.
    String after;
    d.DebugDump(0);
    EXPECT_TRUE(after.empty());
}
