#include "psd/layer/PSDBlockByteOrder.h"

#include <algorithm>
#include <bit>
#include <new>

#include "host/kernel/Memory.h"

#include "psd/io/PSDIO.h"

namespace PSD {

namespace {

// Copies a body (a view: records and items inside it are walked in place) field by field into
// the other byte order; any field that does not fit fails.
class Swapper {
public:
    Swapper(uint8_t const* data, size_t size, bool bigEndian) : m_in(data), m_size(size), m_big(bigEndian) {}
    Swapper(std::vector<uint8_t> const& in, bool bigEndian) : Swapper(in.data(), in.size(), bigEndian) {}

    bool Number(size_t n) {
        if (!Has(n)) return false;
        for (size_t i = n; i-- > 0;) m_out.push_back(m_in[m_at + i]);
        m_at += n;
        return true;
    }
    bool Numbers(size_t n, size_t count) {
        for (size_t i = 0; i < count; ++i)
            if (!Number(n)) return false;
        return true;
    }
    bool Bytes(uint64_t n) {
        if (!Has(n)) return false;
        m_out.insert(m_out.end(), m_in + m_at, m_in + m_at + n);
        m_at += size_t(n);
        return true;
    }
    // What is left, when it is padding: zeros carry no byte order.
    bool Rest() {
        for (size_t i = m_at; i < m_size; ++i)
            if (m_in[i] != 0) return false;
        return Bytes(m_size - m_at);
    }
    bool Done() const { return m_at == m_size; }
    // The bytes from the cursor on, for a nested walk.
    uint8_t const* Here() const { return m_in + m_at; }
    // Passes over n bytes that the caller writes itself.
    bool Skip(uint64_t n) {
        if (!Has(n)) return false;
        m_at += size_t(n);
        return true;
    }
    uint64_t Peek(size_t n) const {
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i)
            v |= uint64_t(m_in[m_at + i]) << (8 * (m_big ? n - 1 - i : i));
        return v;
    }
    bool Has(uint64_t n) const { return m_at <= m_size && m_size - m_at >= n; }
    // A count of 16-bit units and the units.
    bool Unicode() {
        if (!Has(4)) return false;
        uint64_t n = Peek(4);
        return Number(4) && n <= (m_size - m_at) / 2 && Numbers(2, size_t(n));
    }
    bool Pascal() {
        if (!Has(1)) return false;
        return Bytes(1 + uint64_t(m_in[m_at]));
    }
    // A descriptor behind its version number (16), walked item by item: every number turned,
    // every byte block and name copied.
    bool Descriptor() { return Has(4) && Peek(4) == 16 && Number(4) && DescriptorBody(0); }
    std::vector<uint8_t>& Out() { return m_out; }

private:
    static constexpr int kMaxDepth = 64;

    // A key: a length, then that many characters, or a code when the length is 0.
    bool DescriptorKey() {
        if (!Has(4)) return false;
        uint64_t n = Peek(4);
        return Number(4) && (n == 0 ? Number(4) : Bytes(n));
    }
    bool DescriptorBody(int depth) {
        if (depth > kMaxDepth || !Unicode() || !DescriptorKey() || !Has(4)) return false;
        uint64_t count = Peek(4);
        if (!Number(4)) return false;
        for (uint64_t i = 0; i < count; ++i)
            if (!DescriptorKey() || !Item(depth + 1)) return false;
        return true;
    }
    bool Item(int depth) {
        if (depth > kMaxDepth || !Has(4)) return false;
        uint32_t tag = uint32_t(Peek(4));
        if (!Number(4)) return false;
        switch (tag) {
            case Key("Objc"):
            case Key("GlbO"): return DescriptorBody(depth);
            // A count of the objects (16, or the number of values the lists hold), then their
            // class and lists.
            case Key("ObAr"): return Number(4) && DescriptorBody(depth);
            case Key("VlLs"): {
                if (!Has(4)) return false;
                uint64_t n = Peek(4);
                if (!Number(4)) return false;
                for (uint64_t i = 0; i < n; ++i)
                    if (!Item(depth + 1)) return false;
                return true;
            }
            case Key("doub"):
            case Key("comp"): return Number(8);
            case Key("long"): return Number(4);
            case Key("bool"): return Bytes(1);
            case Key("UntF"): return Number(4) && Number(8);
            case Key("UnFl"): {
                if (!Number(4) || !Has(4)) return false;
                uint64_t n = Peek(4);
                return Number(4) && n <= (m_size - m_at) / 8 && Numbers(8, size_t(n));
            }
            case Key("TEXT"): return Unicode();
            case Key("enum"): return DescriptorKey() && DescriptorKey();
            case Key("type"):
            case Key("GlbC"): return Unicode() && DescriptorKey();
            case Key("alis"):
            case Key("tdta"): {
                if (!Has(4)) return false;
                uint64_t n = Peek(4);
                return Number(4) && Bytes(n);
            }
            case Key("obj "): {
                if (!Has(4)) return false;
                uint64_t n = Peek(4);
                if (!Number(4)) return false;
                for (uint64_t i = 0; i < n; ++i) {
                    if (!Has(4)) return false;
                    uint32_t form = uint32_t(Peek(4));
                    if (!Number(4) || !Unicode() || !DescriptorKey()) return false;
                    bool ok = form == Key("Clss")   ? true
                              : form == Key("prop") ? DescriptorKey()
                              : form == Key("Enmr") ? DescriptorKey() && DescriptorKey()
                              : form == Key("rele") ? Number(4)
                                                    : false;
                    if (!ok) return false;
                }
                return true;
            }
            default: return false;
        }
    }

    uint8_t const* m_in;
    size_t m_size;
    bool m_big;
    size_t m_at = 0;
    std::vector<uint8_t> m_out;
};

// Embedded linked files: each record's header fields, its open descriptor, the file's bytes as
// they are, and the fields later versions add. Records of files outside the document, whose
// layouts vary more, are not converted.
bool SwapLinkedFiles(std::vector<uint8_t> const& in, bool big, std::vector<uint8_t>& out) {
    size_t at = 0;
    out.clear();
    while (at + 8 <= in.size()) {
        Swapper h(in.data() + at, 8, big);
        uint64_t length = h.Peek(8);
        if (!h.Number(8) || length > in.size() - at - 8) return false;
        uint64_t padded = std::min<uint64_t>((length + 3) & ~uint64_t(3), in.size() - at - 8);
        Swapper r(in.data() + at + 8, size_t(length), big);
        if (!r.Has(8) || r.Peek(4) != Key("liFD") || !r.Number(4)) return false;
        uint64_t version = r.Peek(4);
        if (!r.Number(4) || !r.Pascal() || !r.Unicode() || !r.Numbers(4, 2) || !r.Has(8)) return false;
        uint64_t data = r.Peek(8);
        if (!r.Number(8) || !r.Has(1)) return false;
        bool open = r.Peek(1) != 0;
        if (!r.Bytes(1) || (open && !r.Descriptor()) || !r.Bytes(data)) return false;
        if (version >= 5 && !r.Unicode()) return false;
        if (version >= 6 && !r.Number(8)) return false;
        if (version >= 7 && !r.Bytes(1)) return false;
        if (!r.Done()) return false;
        out.insert(out.end(), h.Out().begin(), h.Out().end());
        out.insert(out.end(), r.Out().begin(), r.Out().end());
        out.insert(out.end(), in.begin() + long(at + 8 + length), in.begin() + long(at + 8 + padded));
        at += size_t(8 + padded);
    }
    out.insert(out.end(), in.begin() + long(at), in.end());
    return true;
}

bool Swap(uint32_t key, std::vector<uint8_t> const& body, bool big, std::vector<uint8_t>& out) {
    if (key == Key("lnk2") || key == Key("lnk3")) return SwapLinkedFiles(body, big, out);
    Swapper s(body, big);
    bool ok = false;
    switch (key) {
        case Key("fxrp"): ok = s.Numbers(8, 2) && s.Done(); break;
        case Key("lnsr"):
        case Key("vowv"): ok = s.Number(4) && s.Done(); break;
        case Key("FMsk"): ok = s.Numbers(2, 6) && s.Done(); break;
        // The user mask's overlay: colour space, four components and opacity, then its kind.
        case Key("LMsk"): ok = s.Numbers(2, 6) && s.Bytes(1) && s.Rest(); break;
        // A flag byte and its padding.
        case Key("clbl"):
        case Key("infx"):
        case Key("knko"):
        case Key("tsly"):
        case Key("lmgm"):
        case Key("vmgm"): ok = s.Bytes(1) && s.Rest(); break;
        case Key("lsct"):
        case Key("lsdk"): ok = s.Number(4) && (s.Done() || (s.Numbers(4, 2) && (s.Done() || s.Number(4)))) && s.Done(); break;
        // The document's text engine data: text, its strings marked with their own byte order.
        case Key("Txt2"): ok = s.Bytes(body.size()); break;
        case Key("shmd"): {
            // Items of metadata: signature, key, a flag with padding, and a length before data
            // that is a descriptor behind its version, or one number ("mdyn").
            if (!s.Has(4)) return false;
            uint64_t count = s.Peek(4);
            ok = s.Number(4);
            for (uint64_t i = 0; ok && i < count; ++i) {
                ok = s.Numbers(4, 2) && s.Bytes(4) && s.Has(4);
                uint64_t length = ok ? s.Peek(4) : 0;
                ok = ok && s.Number(4) && s.Has(length);
                if (!ok) break;
                Swapper d(s.Here(), size_t(length), big);
                ok = (length == 4 ? d.Number(4) : d.Descriptor() && d.Rest()) &&
                     d.Out().size() == length && s.Skip(length);
                if (ok) s.Out().insert(s.Out().end(), d.Out().begin(), d.Out().end());
            }
            ok = ok && s.Rest();
            break;
        }
        case Key("PlLd"): {
            if (!s.Has(8)) return false;
            ok = s.Number(4) && s.Has(4);
            uint64_t version = ok ? s.Peek(4) : 0;
            ok = ok && s.Number(4);
            if (version == 4)
                ok = ok && s.Descriptor() && s.Rest();
            else
                ok = ok && s.Pascal() && s.Numbers(4, 4) && s.Numbers(8, 8) && s.Number(4) &&
                     s.Descriptor() && s.Rest();
            break;
        }
        case Key("SoLd"):
        case Key("SoLE"): ok = s.Numbers(4, 2) && s.Descriptor() && s.Rest(); break;
        default:
            // A descriptor behind its version, as most newer blocks are made, or behind a
            // version of the block's own first.
            ok = s.Has(4) && (s.Peek(4) == 16 ? s.Descriptor() : s.Number(4) && s.Descriptor()) && s.Rest();
            break;
    }
    if (!ok) return false;
    out = std::move(s.Out());
    return true;
}

}  // namespace

bool SwapBlockByteOrder(uint32_t key, std::vector<uint8_t> const& body, bool storedBigEndian,
                        std::vector<uint8_t>& out) {
    out.clear();
    // An empty body has no byte order, whatever its key: kept even where the layout is unknown.
    if (body.empty()) return true;
    std::vector<uint8_t> swapped, back;
    try {
        // Kept only when it converts back to the stored bytes: nothing the layout does not
        // account for is lost or altered.
        if (!Swap(key, body, storedBigEndian, swapped) || !Swap(key, swapped, !storedBigEndian, back) ||
            back != body)
            return false;
    } catch (std::bad_alloc const&) {
        return false;
    }
    out = std::move(swapped);
    return true;
}

bool StoredBodyInOrder(Kernel::InStreamSeekable& source, bool sourceSwap,
                       PSDTaggedBlockInfo const& b, ByteOrderFixer const& out,
                       std::vector<uint8_t>& body, bool globalMask) {
    body.clear();
    if (b.length > Kernel::GetAllocationLimit()) return false;
    try {
        std::vector<uint8_t> stored(size_t(b.length));
        if (source.ReadAt(b.position, stored.data(), stored.size()) != stored.size()) return false;
        if (sourceSwap == out.m_swap) return body = std::move(stored), true;
        bool big = sourceSwap == (std::endian::native == std::endian::little);
        return globalMask ? SwapGlobalMaskByteOrder(stored, body) : SwapBlockByteOrder(b.key, stored, big, body);
    } catch (std::bad_alloc const&) {
        return false;
    }
}

bool SwapMaskDataByteOrder(std::vector<uint8_t> const& body, bool storedBigEndian,
                           std::vector<uint8_t>& out) {
    // User mask bounds, colour and flags; the real mask after them in the longer record; then
    // the mask parameters the flags announce (densities as bytes, feathers as doubles).
    out.clear();
    auto swap = [](std::vector<uint8_t> const& in, bool big, std::vector<uint8_t>& to) {
        Swapper s(in, big);
        if (!s.Numbers(4, 4) || !s.Has(2)) return false;
        uint8_t flags = in[17];
        if (!s.Bytes(2)) return false;
        if (in.size() >= 36 && (!s.Bytes(2) || !s.Numbers(4, 4))) return false;
        if (flags & 0x10) {
            if (!s.Has(1)) return false;
            uint8_t p = uint8_t(s.Peek(1));
            if (!s.Bytes(1) || ((p & 1) && !s.Bytes(1)) || ((p & 2) && !s.Number(8)) ||
                ((p & 4) && !s.Bytes(1)) || ((p & 8) && !s.Number(8)))
                return false;
        }
        if (!s.Rest()) return false;
        to = std::move(s.Out());
        return true;
    };
    std::vector<uint8_t> swapped, back;
    if (!swap(body, storedBigEndian, swapped) || !swap(swapped, !storedBigEndian, back) || back != body)
        return false;
    out = std::move(swapped);
    return true;
}

bool SwapGlobalMaskByteOrder(std::vector<uint8_t> const& body, std::vector<uint8_t>& out) {
    // Overlay colour space and four components, opacity: 16-bit numbers; the kind and the
    // filler are single bytes.
    Swapper s(body, true);
    if (!body.empty() && (!s.Numbers(2, 6) || !s.Bytes(body.size() - 12))) return false;
    out = std::move(s.Out());
    return true;
}

}  // namespace PSD
