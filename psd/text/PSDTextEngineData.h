// The document's own engine data ("Txt2"): the text frame sets of box and path text, each with
// its Bézier outline and layout settings. Keys may be written as numbers or as names.
#pragma once

#include <array>
#include <vector>

#include "host/geometry/Curve.h"
#include "host/kernel/Counted.h"
#include "host/kernel/Geometry.h"
#include "host/kernel/String.h"
#include "psd/text/PDFData.h"

namespace PSD {

// One cubic segment: start, first control, second control, end.
struct PSDBezier {
    std::array<Kernel::PointT<double>, 4> m_points{};
};

class PSDTextFrameSetResource {
public:
    // Reads the "Resource" dictionary of one frame; false when it is not a dictionary.
    bool Parse(Kernel::Counted<PDFData> const& resource);
    // The outline as curves: segments whose ends meet (within 1e-6) join one curve, and a curve
    // back at its start is closed.
    Kernel::Counted<Geometry::PolyCurveDbl> GetPolyCurve() const;

    std::vector<PSDBezier> m_beziers;
    int m_type = 0;
    int m_lineOrientation = 0;
    std::vector<double> m_textOnPathRange;
    double m_rowGutter = 0;
    double m_columnGutter = 0;
    int m_firstBaselineFlag = 0;
    double m_firstBaselineMin = 0;
    int m_path3 = 0;
    int m_pathSpacing = 0;
    double m_path5 = 0;
    Kernel::StringT<Kernel::TEncUtf8> m_path7;

private:
    void PaseData(PDFDictionary const& data);
    void PaseFirstBaselineAlignment(PDFDictionary const& data);
    void PasePathData(PDFDictionary const& data);
};

class PSDTextEngineData : public Kernel::Countable {
public:
    // False when the data holds no document resources to read.
    [[nodiscard]] bool Parse(void const* data, unsigned long size);
    void ParseTextFrameSet(Kernel::Counted<PDFData> const& frameSet);

    std::vector<PSDTextFrameSetResource> m_frameSets;
};

}  // namespace PSD
