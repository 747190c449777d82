// The path resources: saved paths (2000-2997) and the working path (1025), read by the path
// record reader; and their writer for the resource section.
#include <algorithm>

#include "psd/file/PSDFile.h"
#include "psd/io/PSDResourceIO.h"
#include "psd/io/PSDSaveData.h"
#include "psd/vector/PSDPath.h"

namespace PSD {

namespace {

Kernel::SizeT<int> DocumentSize(uint32_t width, uint32_t height) {
    return {int(std::min<uint32_t>(width, INT32_MAX)), int(std::min<uint32_t>(height, INT32_MAX))};
}

}  // namespace

bool PSDFile::ParsePathResource(Kernel::InStream& stream, unsigned int length, String const& name, ParseData& pd,
                                unsigned int index) {
    Kernel::Counted<PSDPath> path(new PSDPath);
    int result = ParsePaths(stream, length, DocumentSize(pd.m_width, pd.m_height), *path, pd);
    if (result == kPathFailed) return false;
    if (m_paths.size() < size_t(index) + 1) m_paths.resize(size_t(index) + 1);
    if (result == kPathEmpty) {
        m_paths[index] = nullptr;
        return true;
    }
    path->m_name = name;
    m_paths[index] = path;
    return true;
}

bool PSDFile::ParseWorkingPathResource(Kernel::InStream& stream, unsigned int length, ParseData& pd) {
    Kernel::Counted<PSDPath> path(new PSDPath);
    int result = ParsePaths(stream, length, DocumentSize(pd.m_width, pd.m_height), *path, pd);
    if (result == kPathFailed) return false;
    if (result == kPathParsed) m_workingPath = path;
    return true;
}

bool PSDFile::SavePathResources(Kernel::OutStreamSeekable& s, SaveData const& sd) const {
    ByteOrderFixer const& f = sd.m_fixer;
    Kernel::SizeT<int> size = DocumentSize(m_width, m_height);
    auto write = [&](uint16_t id, String const& name, PSDPath const& path) {
        if (!WriteImageResourceHeader(s, f, id, name)) return false;
        uint64_t start = s.GetPosition();
        return SavePaths(s, f, path, Raster::AffineTransform::Params{}, size) && EndImageResource(s, f, start);
    };
    if (m_workingPath && !write(kWorkingPathId, String(), *m_workingPath)) return false;
    // Saved paths take the identifiers from 2000 up in list order, empty slots left out.
    uint16_t id = kFirstPathId;
    for (auto const& p : m_paths) {
        if (!p) continue;
        if (id > kLastPathId) break;
        if (!write(id++, p->m_name, *p)) return false;
    }
    return true;
}

}  // namespace PSD
