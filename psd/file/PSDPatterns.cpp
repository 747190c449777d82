#include "psd/file/PSDPatterns.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "psd/io/PSDKeyTable.h"
#include "psd/layer/PSDChannelCodec.h"

namespace PSD {

namespace {

// Pattern tiles are small; a larger one is damage (and would be tiled from memory per pixel).
constexpr uint64_t kMaxPatternPixels = uint64_t(1) << 26;
// Channels a pattern may list: the editor's limit of 24 colour and alpha channels.
constexpr uint32_t kMaxPatternChannels = 56;

// A bounded big-endian reader over one region.
class Bytes {
public:
    Bytes(uint8_t const* data, size_t size) : m_data(data), m_size(size) {}
    size_t Left() const { return m_size - m_pos; }
    size_t Position() const { return m_pos; }
    uint8_t const* Here() const { return m_data + m_pos; }
    bool Skip(size_t n) {
        if (n > Left()) return false;
        m_pos += n;
        return true;
    }
    template <typename T>
    bool Read(T& v) {
        if (sizeof(T) > Left()) return false;
        uint64_t x = 0;
        for (size_t i = 0; i < sizeof(T); ++i) x = (x << 8) | m_data[m_pos + i];
        v = T(x);
        m_pos += sizeof(T);
        return true;
    }
    // A region of n bytes, cut out once.
    bool Cut(size_t n, Bytes& region) {
        if (n > Left()) return false;
        region = Bytes(m_data + m_pos, n);
        m_pos += n;
        return true;
    }

private:
    uint8_t const* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

unsigned ColourChannels(uint32_t mode) {
    switch (ColourMode(mode)) {
        case ColourMode::Bitmap:
        case ColourMode::Grayscale:
        case ColourMode::Indexed:
        case ColourMode::Duotone: return 1;
        case ColourMode::RGB:
        case ColourMode::Lab: return 3;
        case ColourMode::CMYK: return 4;
        default: return 0;
    }
}

// One channel's pixels: depth 1, 8, 16 or 32, raw (0) or PackBits rows (1), into samples 0..1.
bool DecodeChannel(Bytes& ch, uint32_t width, uint32_t height, std::vector<float>& out,
                   std::string& error) {
    uint32_t depth, top, left, bottom, right;
    uint16_t depth2;
    uint8_t compression;
    if (!ch.Read(depth) || !ch.Read(top) || !ch.Read(left) || !ch.Read(bottom) || !ch.Read(right) ||
        !ch.Read(depth2) || !ch.Read(compression)) {
        error = "a pattern channel is cut short";
        return false;
    }
    if (bottom < top || right < left || bottom - top != height || right - left != width) {
        error = "a pattern channel's rectangle differs from its pattern's";
        return false;
    }
    if (depth != 1 && depth != 8 && depth != 16 && depth != 32) {
        error = "a pattern channel has depth " + std::to_string(depth);
        return false;
    }
    size_t rowBytes = depth == 1 ? (size_t(width) + 7) / 8 : size_t(width) * (depth / 8);
    std::vector<uint8_t> plain(rowBytes * height);
    if (compression == 0) {
        if (plain.size() > ch.Left()) {
            error = "a pattern channel is cut short";
            return false;
        }
        if (!plain.empty()) std::memcpy(plain.data(), ch.Here(), plain.size());
    } else if (compression == 1) {
        // Row byte counts, then the packed rows one after another.
        if (size_t(height) * 2 > ch.Left()) {
            error = "a pattern channel is cut short";
            return false;
        }
        uint8_t const* counts = ch.Here();
        Bytes rows(ch.Here() + size_t(height) * 2, ch.Left() - size_t(height) * 2);
        for (uint32_t y = 0; y < height; ++y) {
            size_t n = size_t(counts[2 * y]) << 8 | counts[2 * y + 1];
            Bytes row(nullptr, 0);
            if (!rows.Cut(n, row) ||
                !UnpackBits(row.Here(), n, plain.data() + rowBytes * y, rowBytes, 1)) {
                error = "a pattern channel's packed rows are damaged";
                return false;
            }
        }
    } else {
        error = "a pattern channel has compression " + std::to_string(compression);
        return false;
    }
    out.resize(size_t(width) * height);
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t const* row = plain.data() + rowBytes * y;
        float* to = out.data() + size_t(width) * y;
        for (uint32_t x = 0; x < width; ++x) {
            switch (depth) {
                case 1: to[x] = (row[x / 8] >> (7 - x % 8) & 1) ? 0.0f : 1.0f; break;  // 1 is black
                case 8: to[x] = row[x] / 255.0f; break;
                case 16: to[x] = float(row[2 * x] << 8 | row[2 * x + 1]) / 65535.0f; break;
                default: {
                    uint32_t bits = uint32_t(row[4 * x]) << 24 | uint32_t(row[4 * x + 1]) << 16 |
                                    uint32_t(row[4 * x + 2]) << 8 | row[4 * x + 3];
                    float f;
                    std::memcpy(&f, &bits, 4);
                    to[x] = f == f ? f : 0.0f;
                }
            }
        }
    }
    return true;
}

bool ParseOne(Bytes& b, PSDPattern& p, std::string& error, bool pixels) {
    uint32_t version, mode;
    uint16_t height, width;
    uint32_t nameLength;
    if (!b.Read(version) || !b.Read(mode) || !b.Read(height) || !b.Read(width) || !b.Read(nameLength)) {
        error = "a pattern's header is cut short";
        return false;
    }
    if (version != 1) {
        error = "a pattern has version " + std::to_string(version);
        return false;
    }
    if (nameLength > b.Left() / 2) {
        error = "a pattern's name is cut short";
        return false;
    }
    std::u16string name;
    for (uint32_t i = 0; i < nameLength; ++i) {
        uint16_t c = 0;
        (void)b.Read(c);
        if (c != 0 || i + 1 < nameLength) name.push_back(char16_t(c));  // without its terminator
    }
    p.m_name = Kernel::ConvertEnc(name);
    uint8_t idLength;
    if (!b.Read(idLength) || idLength > b.Left()) {
        error = "a pattern's identifier is cut short";
        return false;
    }
    p.m_id.clear();
    p.m_id.assign(reinterpret_cast<char const*>(b.Here()), idLength);
    (void)b.Skip(idLength);
    unsigned colours = ColourChannels(mode);
    if (colours == 0) {
        error = "a pattern has colour mode " + std::to_string(mode);
        return false;
    }
    std::vector<uint8_t> table;
    if (mode == uint32_t(ColourMode::Indexed)) {
        if (768 > b.Left()) {
            error = "a pattern's colour table is cut short";
            return false;
        }
        table.assign(b.Here(), b.Here() + 768);
        (void)b.Skip(768);
    }
    if (uint64_t(width) * height > kMaxPatternPixels) {
        error = "a pattern of " + std::to_string(width) + " by " + std::to_string(height) +
                " pixels is larger than the reader takes";
        return false;
    }
    p.m_width = width, p.m_height = height;

    // The pixels: a list of channels, each a length-framed record that may be left unwritten;
    // after the colour channels come the transparency and two masks.
    uint32_t listVersion, listLength;
    Bytes list(nullptr, 0);
    if (!b.Read(listVersion) || !b.Read(listLength) || !b.Cut(listLength, list)) {
        error = "a pattern's pixels are cut short";
        return false;
    }
    if (listVersion != 3) {
        error = "a pattern's pixels have version " + std::to_string(listVersion);
        return false;
    }
    uint32_t top, left, bottom, right, count;
    if (!list.Read(top) || !list.Read(left) || !list.Read(bottom) || !list.Read(right) ||
        !list.Read(count)) {
        error = "a pattern's pixels are cut short";
        return false;
    }
    if (bottom < top || right < left || bottom - top != height || right - left != width) {
        error = "a pattern's rectangle differs from its size";
        return false;
    }
    if (!pixels) {
        p.m_colourMode = table.empty() ? mode : uint32_t(ColourMode::RGB);
        return true;
    }
    std::vector<std::vector<float>> planes;
    for (uint32_t i = 0; i < std::min(count, kMaxPatternChannels) + 2 && list.Left() >= 4; ++i) {
        uint32_t written = 0, length = 0;
        (void)list.Read(written);
        if (!written) {
            planes.emplace_back();
            continue;
        }
        Bytes ch(nullptr, 0);
        if (!list.Read(length) || !list.Cut(length, ch)) {
            error = "a pattern channel is cut short";
            return false;
        }
        planes.emplace_back();
        if (length != 0 && !DecodeChannel(ch, width, height, planes.back(), error)) return false;
    }
    if (planes.size() < colours) {
        error = "a pattern lacks colour channels";
        return false;
    }
    for (unsigned c = 0; c < colours; ++c)
        if (planes[c].size() != size_t(width) * height) {
            error = "a pattern lacks colour channels";
            return false;
        }
    // The first written plane after the colours is the transparency.
    p.m_alpha.clear();
    for (size_t c = colours; c < planes.size(); ++c)
        if (!planes[c].empty()) {
            p.m_alpha = std::move(planes[c]);
            break;
        }
    planes.resize(colours);
    if (!table.empty()) {
        std::vector<std::vector<float>> rgb(3, std::vector<float>(planes[0].size()));
        for (size_t i = 0; i < planes[0].size(); ++i) {
            size_t index = size_t(std::lround(planes[0][i] * 255));
            for (size_t c = 0; c < 3; ++c) rgb[c][i] = table[c * 256 + index] / 255.0f;
        }
        planes = std::move(rgb);
        mode = uint32_t(ColourMode::RGB);
    }
    p.m_colourMode = mode;
    p.m_channels = std::move(planes);
    return true;
}

}  // namespace

bool ParsePatterns(uint8_t const* data, size_t size, std::vector<PSDPattern>& out,
                   std::string& error, PatternWanted const& wanted) {
    Bytes b(data, size);
    while (b.Left() >= 4) {
        uint32_t length = 0;
        Bytes one(nullptr, 0);
        (void)b.Read(length);
        if (!b.Cut(length, one)) {
            error = "a pattern is cut short";
            return false;
        }
        // The header alone first: whether the pixels are wanted may depend on it.
        Bytes again = one;
        PSDPattern p;
        if (!ParseOne(one, p, error, false)) return false;
        if (wanted(out.size(), p)) {
            p = PSDPattern{};
            if (!ParseOne(again, p, error, true)) return false;
        }
        out.push_back(std::move(p));
        // Each pattern is padded to four bytes; the last may lack its padding.
        (void)b.Skip(std::min(b.Left(), size_t((4 - length % 4) % 4)));
    }
    return true;
}

std::vector<PSDPattern> ReadDocumentPatterns(PSDFile const& doc, std::vector<std::string>& errors,
                                             PatternWanted const& wanted) {
    std::vector<PSDPattern> patterns;
    for (auto const& b : doc.m_documentBlocks) {
        if (b.key != Key("Patt") && b.key != Key("Pat2") && b.key != Key("Pat3")) continue;
        std::vector<uint8_t> body;
        std::string error;
        if (!doc.StoredBlockInOrder(b, ByteOrderFixer{std::endian::native == std::endian::little}, body))
            errors.push_back("the patterns block could not be read");
        else if (!ParsePatterns(body.data(), body.size(), patterns, error, wanted))
            errors.push_back("patterns: " + error);
    }
    return patterns;
}

bool PatternFromDocument(PSDFile const& doc, nlohmann::json& changes, std::string& why) {
    auto it = changes.is_object() ? changes.find("pattern") : changes.end();
    if (it == changes.end() || !it->is_object() || !it->contains("id") || !(*it)["id"].is_string())
        return true;  // the effect's or fill's own reader names a malformed field
    std::string id = (*it)["id"];
    std::vector<std::string> errors;
    for (auto const& p : ReadDocumentPatterns(doc, errors, NoPatternsPixels))
        if (std::string(p.m_id) == id) {
            if (!it->contains("name")) (*it)["name"] = std::string(p.m_name);
            return true;
        }
    why = "the document holds no pattern \"" + id + "\"";
    return false;
}

}  // namespace PSD
