#include "psd/file/PSDLinkedData.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "psd/descriptor/Descriptor.h"
#include "psd/file/PSDFile.h"
#include "psd/io/PSDResourceIO.h"
#include "psd/layer/PSDLayerRead.h"

namespace PSD {

namespace {

bool StartsWith(std::vector<uint8_t> const& b, char const* sig, size_t n) {
    return b.size() >= n && std::memcmp(b.data(), sig, n) == 0;
}

bool IsTIFF(std::vector<uint8_t> const& b) {
    return StartsWith(b, "II*\0", 4) || StartsWith(b, "MM\0*", 4);
}

std::string ReportText(PSDReport const& r) {
    return r.m_error ? std::string(r.m_error->Report()) : std::string("failed");
}

bool IsKnownKind(uint32_t kind) {
    return kind == Key("liFD") || kind == Key("liFE") || kind == Key("liFA");
}

}  // namespace

PSDSmartObjectData::PSDSmartObjectData(Kernel::Counted<Kernel::InStreamSeekable> source,
                                       uint64_t position, uint64_t length,
                                       CreateOptions const& options,
                                       Kernel::Counted<PSDWarnings> warnings)
    : m_source(std::move(source)),
      m_position(position),
      m_length(length),
      m_options(options),
      m_warnings(std::move(warnings)) {}

std::vector<uint8_t> PSDSmartObjectData::GetBytes() const {
    std::vector<uint8_t> out;
    if (!m_source || m_length == 0) return out;
    try {
        out.resize(size_t(m_length));
    } catch (std::exception const&) {
        return {};
    }
    if (m_source->ReadAt(m_position, out.data(), out.size()) != out.size()) out.clear();
    return out;
}

void PSDSmartObjectData::Decode() const {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_decoded) return;
    m_decoded = true;
    if (m_kind != Key("liFD")) return;
    std::vector<uint8_t> bytes = GetBytes();
    if (bytes.empty()) {
        m_content = Content::Bytes;
        m_reason = m_length ? "the file's bytes could not be read" : "the file is empty";
    } else if (StartsWith(bytes, "8BPS", 4) || IsTIFF(bytes)) {
        // A nested document reads from a stream and reports to a report of its own.
        PSDReport report;
        bool tiff = IsTIFF(bytes);
        auto stream = Kernel::MemoryInStream::Create(std::move(bytes));
        m_document = tiff ? PSDFile::CreateFromTIFF(Kernel::Counted<Kernel::InStreamSeekable>(stream),
                                                    m_options, report)
                          : PSDFile::Create(stream, m_options, report);
        if (m_document) {
            m_content = Content::Document;
            return;
        }
        // A TIFF without layers is still an image.
        if (tiff) {
            std::vector<uint8_t> again(stream->GetMapping(), stream->GetMapping() + stream->GetSize());
            bytes = std::move(again);
        }
        m_reason = "nested document: " + ReportText(report);
        if (!tiff) m_content = Content::Bytes;
    }
    if (m_content == Content::None) {
        std::string why;
        m_file = Raster::DynamicFile::CreateFromMemory(bytes.data(), bytes.size(), &why);
        if (m_file) {
            m_content = Content::Bitmap;
            m_reason.clear();
            return;
        }
        m_content = Content::Bytes;
        if (m_reason.empty()) m_reason = why;
    }
    // Only a nested document that fails to open is a problem of the document; other files are
    // kept as bytes with their reason.
    if (m_warnings && m_reason.rfind("nested document: ", 0) == 0) {
        auto* w = new PSDLoadWarning(PSDLoadWarning::kText, m_uniqueId + ": " + m_reason);
        w->m_text = "Embedded file not decoded";
        m_warnings->Add(Kernel::Counted<PSDWarning const>(w));
    }
}

Kernel::Counted<PSDFile> PSDSmartObjectData::GetDocument() const {
    Decode();
    return m_document;
}

Kernel::Counted<Raster::DynamicBitmap> PSDSmartObjectData::GetBitmap() const {
    Decode();
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_bitmap && m_file) {
        std::string why;
        if (!m_file->CopyToBitmap(m_bitmap, &why)) {
            m_reason = why;
            m_file = nullptr;
            m_content = Content::Bytes;
        }
    }
    return m_bitmap;
}

PSDSmartObjectData::Content PSDSmartObjectData::GetContent() const {
    Decode();
    return m_content;
}

std::string PSDSmartObjectData::GetReason() const {
    Decode();
    std::lock_guard<std::mutex> hold(m_lock);
    return m_reason;
}

uint32_t PSDSmartObjectData::GetWidth() const {
    Decode();
    if (m_document) return m_document->GetWidth();
    std::lock_guard<std::mutex> hold(m_lock);
    return m_file ? m_file->GetWidth() : m_bitmap ? m_bitmap->GetWidth() : 0;
}

uint32_t PSDSmartObjectData::GetHeight() const {
    Decode();
    if (m_document) return m_document->GetHeight();
    std::lock_guard<std::mutex> hold(m_lock);
    return m_file ? m_file->GetHeight() : m_bitmap ? m_bitmap->GetHeight() : 0;
}

std::string PSDSmartObjectData::GetExtension() const {
    std::vector<uint8_t> head(8, 0);
    bool read = m_source && m_length >= 8 && m_source->ReadAt(m_position, head.data(), 8) == 8;
    if (read) {
        if (StartsWith(head, "8BPS\0\1", 6)) return "psd";
        if (StartsWith(head, "8BPS\0\2", 6)) return "psb";
        if (IsTIFF(head)) return "tif";
        if (StartsWith(head, "\x89PNG", 4)) return "png";
        if (StartsWith(head, "\xFF\xD8\xFF", 3)) return "jpg";
    }
    // Otherwise the file type as stored, when it reads as a name.
    std::string type(KeyToString(m_fileType));
    while (!type.empty() && type.back() == ' ') type.pop_back();
    bool name = !type.empty() && std::all_of(type.begin(), type.end(), [](unsigned char c) {
        return std::isalnum(c) != 0;
    });
    if (!name) return "bin";
    std::transform(type.begin(), type.end(), type.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return type;
}

void ParseLinkedDataBlock(PSDFile& doc, Kernel::NonCounted<Kernel::InStreamSeekable> stream,
                          uint64_t length, ParseData& pd) {
    uint64_t start = stream->GetPosition();
    uint64_t end = SaturatingAdd(start, length);
    // The files' bytes are read later from the document's source; a source nobody counts is
    // copied instead.
    Kernel::Counted<Kernel::InStreamSeekable> source;
    if (doc.GetSourceStream().Get() == stream.Get())
        source = doc.GetSourceStream();
    else if (stream->GetRefCount() > 0)
        source = Kernel::Counted<Kernel::InStreamSeekable>(stream.Get());
    CreateOptions options;
    options.parseText = pd.m_parseText;
    options.parseSmartObjects = pd.m_parseSmartObjects;
    options.textSetting = pd.m_optionText;

    auto warn = [&](String const& detail, PSDReport const& r) {
        auto* w = new PSDLoadWarning(PSDLoadWarning::kText, detail + ": " + ReportText(r));
        w->m_text = "Linked file record not read";
        pd.m_report.AddWarning(Kernel::Counted<PSDWarning>(w));
    };

    while (stream->GetPosition() + 4 < end) {
        // Each record reads with a report of its own: what it meets never fails the document.
        ParseData rd = pd;
        rd.m_report = PSDReport();
        uint64_t recordStart = stream->GetPosition();
        uint64_t recordLength;
        if (!ReadValue(*stream, recordLength, rd)) {
            warn("record at " + Kernel::ToString(recordStart - start), rd.m_report);
            return;
        }
        uint64_t dataEnd = SaturatingAdd(recordStart + 8, recordLength);
        uint64_t recordEnd = SaturatingAdd(recordStart + 8, SaturatingAdd(recordLength, 3) & ~uint64_t(3));
        bool cut = dataEnd > end;
        if (cut) dataEnd = recordEnd = end;
        auto body = Kernel::LimitedInStream::Create(stream, dataEnd - stream->GetPosition());
        uint32_t kind = 0, version = 0;
        String id, fileName;
        uint32_t fileType = 0, creator = 0;
        uint64_t dataLength = 0;
        uint8_t flag = 0;
        bool ok = ReadKey(*body, kind, rd) && ReadValue(*body, version, rd);
        bool decode = ok && IsKnownKind(kind) && version >= 1 && version <= 8;
        if (decode) {
            ok = ReadShortPascal(*body, id, rd) && ReadUnicodeString(*body, fileName, rd) &&
                 ReadKey(*body, fileType, rd) && ReadKey(*body, creator, rd) &&
                 ReadValue(*body, dataLength, rd) && ReadValue(*body, flag, rd);
            if (ok && flag) {
                Descriptor open;
                ok = open.Parse(*body, rd);
                if (!ok && !rd.m_report.m_error) rd.m_report.ErrorParsing();
            }
        }
        if (ok && cut) rd.m_report.ErrorTruncated();
        if (!ok || cut) {
            warn(id.empty() ? String("record at " + Kernel::ToString(recordStart - start)) : id,
                 rd.m_report);
        }
        if (ok && decode && !cut) {
            uint64_t dataStart = stream->GetPosition();
            bool embedded = kind == Key("liFD");
            Kernel::Counted<PSDSmartObjectData> data;
            try {
                data = Kernel::MakeCounted<PSDSmartObjectData>(
                    embedded ? source : nullptr, dataStart, embedded ? dataEnd - dataStart : 0,
                    options, doc.m_warnings);
            } catch (std::bad_alloc const&) {
                return;
            }
            data->m_kind = kind;
            data->m_version = version;
            data->m_uniqueId = id;
            // Names are often stored with their terminating zero.
            while (!fileName.empty() && fileName.back() == '\0') fileName.pop_back();
            data->m_fileName = fileName;
            data->m_fileType = fileType;
            data->m_fileCreator = creator;
            data->m_dataLength = dataLength;
            data->m_hasOpenDescriptor = flag != 0;
            doc.AddLinkedRecord(data);
        }
        if (cut || recordEnd > stream->GetSize() || !stream->Seek(recordEnd)) return;
    }
}

}  // namespace PSD
