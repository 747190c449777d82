// The files behind placed layers: the records of the document's linked-data blocks ("lnk2",
// "lnk3", "lnkD"), each kept under its unique identifier, with the embedded file decoded on first
// request: a nested document (PSD, PSB, layered TIFF), an image (PNG, JPEG, TIFF), or bytes.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Stream.h"
#include "host/raster/Bitmap.h"
#include "host/raster/File.h"
#include "psd/io/PSDParseData.h"
#include "psd/report/PSDReport.h"

namespace PSD {

class PSDFile;

// One linked-data record. Only records of kind "liFD" hold the file itself; the others name a
// file outside the document ("liFE") or an alias to one ("liFA").
class PSDSmartObjectData : public Kernel::Countable {
public:
    enum class Content { None, Document, Bitmap, Bytes };

    // Where the file's bytes lie in the document's source stream.
    // Where the file's bytes lie in the document's source stream; a file that does not decode
    // later becomes a warning in warnings (the outer document's).
    PSDSmartObjectData(Kernel::Counted<Kernel::InStreamSeekable> source, uint64_t position,
                       uint64_t length, CreateOptions const& options,
                       Kernel::Counted<PSDWarnings> warnings);

    // The nested document or the bitmap, decoded on first call and kept; null when the file is
    // neither (GetContent then says Bytes and GetReason why). A nested document has a report and
    // a stream of its own; its pixels decode lazily too. Safe from any threads.
    Kernel::Counted<PSDFile> GetDocument() const;
    Kernel::Counted<Raster::DynamicBitmap> GetBitmap() const;
    Content GetContent() const;
    // Why the file is kept as bytes ("" when it decoded, or was never decoded).
    std::string GetReason() const;
    // The embedded file as stored; empty for files outside the document.
    std::vector<uint8_t> GetBytes() const;
    uint64_t GetSize() const { return m_length; }
    // Width and height of the decoded content; 0 when there is none.
    uint32_t GetWidth() const;
    uint32_t GetHeight() const;
    // "psd", "psb", "tif", "png", "jpg", or the file type's text in lower case, else "bin".
    std::string GetExtension() const;

    uint32_t m_kind = 0;     // "liFD", "liFE" or "liFA"
    uint32_t m_version = 0;  // 1..8
    String m_uniqueId;
    String m_fileName;
    uint32_t m_fileType = 0;     // as stored, often "png ", "JPEG", "8BPS"
    uint32_t m_fileCreator = 0;
    uint64_t m_dataLength = 0;   // the record's own data length field
    bool m_hasOpenDescriptor = false;

private:
    void Decode() const;

    Kernel::Counted<Kernel::InStreamSeekable> m_source;
    uint64_t m_position = 0;
    uint64_t m_length = 0;
    CreateOptions m_options;
    Kernel::Counted<PSDWarnings> m_warnings;
    mutable Kernel::Counted<Raster::DynamicFile> m_file;
    mutable std::mutex m_lock;
    mutable bool m_decoded = false;
    mutable Content m_content = Content::None;
    mutable Kernel::Counted<PSDFile> m_document;
    mutable Kernel::Counted<Raster::DynamicBitmap> m_bitmap;
    mutable std::string m_reason;
};

// Reads the records of one linked-data block body into the document's map (a later record
// with the same identifier wins). Never fails the document: a damaged record becomes a warning
// and the records after it are still read.
void ParseLinkedDataBlock(PSDFile& doc, Kernel::NonCounted<Kernel::InStreamSeekable> stream,
                          uint64_t length, ParseData& pd);

}  // namespace PSD
