#include "psd/text/PSDTextEngineData.h"

#include <cmath>
#include <cstring>
#include <string>

namespace PSD {

namespace {

// The value under either spelling of a key: its number, or its name.
Kernel::Counted<PDFData> Get(PDFDictionary const& d, char const* number, char const* name) {
    auto v = number ? d.GetValue(number) : nullptr;
    return v ? v : d.GetValue(name);
}

Kernel::Counted<PDFDictionary const> GetDict(PDFDictionary const& d, char const* number,
                                             char const* name) {
    return Get(d, number, name).DynamicCast<PDFDictionary const>();
}

}  // namespace

bool PSDTextEngineData::Parse(void const* data, unsigned long size) {
    m_frameSets.clear();
    auto const* bytes = static_cast<unsigned char const*>(data);
    unsigned long at = 0;
    while (at < size && (bytes[at] == 0 || bytes[at] == ' ' || (bytes[at] >= 9 && bytes[at] <= 13)))
        ++at;
    Kernel::Counted<PDFData> root;
    if (size - at >= 2 && bytes[at] == '<' && bytes[at + 1] == '<') {
        root = PDFDataParser(bytes + at, size - at).Parse();
    } else {
        // The block stores the root dictionary's items without its opening.
        std::string wrapped = "<<";
        wrapped.append(reinterpret_cast<char const*>(bytes + at), size - at);
        root = PDFDataParser(reinterpret_cast<unsigned char const*>(wrapped.data()), wrapped.size())
                   .Parse();
    }
    auto dict = root.DynamicCast<PDFDictionary const>();
    if (!dict) return false;
    // Documents store the resources under "0" (with "98" holding a small dictionary of its own);
    // the first of the spellings that holds a frame set or a font set is taken.
    Kernel::Counted<PDFDictionary const> resources;
    for (char const* key : {"98", "DocumentResources", "0"}) {
        auto d = dict->GetValue(key).DynamicCast<PDFDictionary const>();
        if (d && (Get(*d, "8", "TextFrameSet") || Get(*d, "1", "FontSet"))) {
            resources = d;
            break;
        }
    }
    if (!resources) return false;
    // Fonts, mojikumi, kinsoku, style and paragraph sheets and list styles ("1" to "6", "9") are
    // the layers' business; only the frames are read here.
    if (auto frames = Get(*resources, "8", "TextFrameSet")) ParseTextFrameSet(frames);
    return true;
}

void PSDTextEngineData::ParseTextFrameSet(Kernel::Counted<PDFData> const& frameSet) {
    auto set = frameSet.DynamicCast<PDFDictionary const>();
    if (!set) return;
    auto list = Get(*set, "0", "Resources").DynamicCast<PDFArray const>();
    if (!list) return;
    for (auto const& element : list->GetItems()) {
        auto e = element.DynamicCast<PDFDictionary const>();
        if (!e) continue;
        PSDTextFrameSetResource frame;
        if (frame.Parse(Get(*e, "0", "Resource"))) m_frameSets.push_back(std::move(frame));
    }
}

bool PSDTextFrameSetResource::Parse(Kernel::Counted<PDFData> const& value) {
    auto resource = value.DynamicCast<PDFDictionary const>();
    if (!resource) return false;
    if (auto bezier = GetDict(*resource, "1", "Bezier"))
        if (auto points = Get(*bezier, "0", "Points").DynamicCast<PDFArray const>()) {
            size_t n = points->GetCount() / 8;
            m_beziers.resize(n);
            for (size_t s = 0; s < n; ++s)
                for (size_t p = 0; p < 4; ++p) {
                    auto const& x = points->GetAt(s * 8 + p * 2);
                    auto const& y = points->GetAt(s * 8 + p * 2 + 1);
                    m_beziers[s].m_points[p] = {x ? x->GetDouble(0) : 0, y ? y->GetDouble(0) : 0};
                }
        }
    if (auto data = GetDict(*resource, "2", "Data")) PaseData(*data);
    return true;
}

Kernel::Counted<Geometry::PolyCurveDbl> PSDTextFrameSetResource::GetPolyCurve() const {
    using Geometry::CurveDbl;
    auto result = Kernel::MakeCounted<Geometry::PolyCurveDbl>();
    constexpr double kTolerance = 1e-6;
    auto near = [&](Kernel::PointT<double> a, Kernel::PointT<double> b) {
        return std::fabs(a.x - b.x) <= kTolerance && std::fabs(a.y - b.y) <= kTolerance;
    };
    Kernel::Counted<CurveDbl> curve;
    auto finish = [&] {
        if (!curve) return;
        auto const& nodes = curve->GetNodes();
        if (near(nodes.front().point, nodes.back().point)) curve->SetClosed(true);
        curve->AutoSetNodeStyles();
        curve->UpdateSmartPoints();
        result->AddCurve(curve);
        curve = nullptr;
    };
    for (auto const& s : m_beziers) {
        auto const& p = s.m_points;
        if (curve && !near(curve->GetNodes().back().point, p[0])) finish();
        if (!curve) {
            curve = Kernel::MakeCounted<CurveDbl>(false);
            curve->AddNode(p[0], CurveDbl::kCorner, CurveDbl::kAnchor);
        }
        curve->AddNode(p[1], CurveDbl::kControl, CurveDbl::kControl1);
        curve->AddNode(p[2], CurveDbl::kControl, CurveDbl::kControl2);
        curve->AddNode(p[3], CurveDbl::kCorner, CurveDbl::kAnchor);
    }
    finish();
    return result;
}

void PSDTextFrameSetResource::PaseData(PDFDictionary const& data) {
    auto number = [&](char const* n, char const* name, double fallback) {
        auto v = Get(data, n, name);
        return v ? v->GetDouble(fallback) : fallback;
    };
    m_type = int(number("0", "Type", 0));
    m_lineOrientation = int(number("2", "LineOrientation", 0));
    m_textOnPathRange.clear();
    if (auto range = Get(data, "6", "TextOnPathTRange").DynamicCast<PDFArray const>())
        for (auto const& v : range->GetItems()) m_textOnPathRange.push_back(v ? v->GetDouble(0) : 0);
    m_rowGutter = number("7", "RowGutter", 0);
    m_columnGutter = number("8", "ColumnGutter", 0);
    PaseFirstBaselineAlignment(data);
    if (auto path = GetDict(data, "11", "PathData")) PasePathData(*path);
}

void PSDTextFrameSetResource::PaseFirstBaselineAlignment(PDFDictionary const& data) {
    if (auto f = GetDict(data, nullptr, "FirstBaselineAlignment")) {
        m_firstBaselineFlag = f->GetInt("Flag", 0);
        m_firstBaselineMin = f->GetDouble("Min", 0);
    }
}

void PSDTextFrameSetResource::PasePathData(PDFDictionary const& path) {
    m_path3 = path.GetInt("3", 0);
    auto spacing = Get(path, "4", "Spacing");
    m_pathSpacing = spacing ? spacing->GetInt(0) : 0;
    m_path5 = path.GetDouble("5", 0);
    auto seven = path.GetValue("7").DynamicCast<PDFName const>();
    m_path7 = seven ? seven->GetName() : Kernel::StringT<Kernel::TEncUtf8>();
}

}  // namespace PSD
