#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/kernel/Stream.h"
#include "support/OneByteStream.h"

using namespace Kernel;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t n, uint32_t seed = 1) {
    Bytes v(n);
    uint32_t x = seed * 2654435761u + 12345;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return v;
}

Bytes Slice(Bytes const& v, size_t pos, size_t n) {
    return Bytes(v.begin() + static_cast<ptrdiff_t>(pos),
                 v.begin() + static_cast<ptrdiff_t>(pos + n));
}

Bytes ReadN(InStream& s, size_t n) {
    Bytes out(n);
    out.resize(s.Read(out.data(), n));
    return out;
}

Bytes ReadAtN(InStreamSeekable& s, uint64_t pos, size_t n) {
    Bytes out(n);
    out.resize(s.ReadAt(pos, out.data(), n));
    return out;
}

std::string TempPath(char const* name) {
    return testing::TempDir() + "zuzodoriv_kernel_" + std::to_string(::getpid()) + "_" + name;
}

Bytes ReadFile(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(std::string const& path, Bytes const& data) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<char const*>(data.data()),
               static_cast<std::streamsize>(data.size()));
}

// A seekable memory stream without a mapping that remembers the furthest byte any read asked
// for, so adaptors can be caught reading outside their window.
class SpyStream : public InStreamSeekable {
public:
    explicit SpyStream(Bytes data) : m_data(std::move(data)) {}
    size_t Read(void* buf, size_t n) override {
        size_t got = ReadAt(m_pos, buf, n);
        m_pos += got;
        return got;
    }
    uint64_t GetPosition() const override { return m_pos; }
    bool Seek(uint64_t pos) override {
        if (pos > m_data.size()) return false;
        m_pos = pos;
        return true;
    }
    uint64_t GetSize() const override { return m_data.size(); }
    size_t ReadAt(uint64_t pos, void* buf, size_t n) override {
        if (n) m_furthest = std::max<uint64_t>(m_furthest, pos + n);
        if (pos >= m_data.size()) return 0;
        size_t take = static_cast<size_t>(std::min<uint64_t>(n, m_data.size() - pos));
        std::memcpy(buf, m_data.data() + pos, take);
        return take;
    }

    uint64_t m_furthest = 0;  // one past the last byte asked for

private:
    Bytes m_data;
    uint64_t m_pos = 0;
};

// The contract every seekable input keeps, over the bytes it should show: reads in uneven pieces
// ending short, positional reads that ignore the cursor and stop at the end, seeks and skips past
// the end (overflowing ones too) that fail and leave the cursor alone, a mapping of the same bytes.
void CheckSeekable(InStreamSeekable& s, Bytes const& want, uint32_t seed) {
    size_t const n = want.size(), mid = n / 2, tail = std::min<size_t>(n, 5);
    ASSERT_TRUE(s.Seek(0));
    std::mt19937 rng(seed);
    Bytes got;
    for (size_t k = 1; got.size() <= n; k = rng() % 5000 + 1) {
        auto part = ReadN(s, k);
        got.insert(got.end(), part.begin(), part.end());
        if (part.size() < k) break;
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(s.GetPosition(), n);
    EXPECT_EQ(s.GetSize(), n);
    EXPECT_EQ(s.GetRemaining(), 0u);
    ASSERT_TRUE(s.Seek(mid));
    EXPECT_EQ(ReadAtN(s, n - tail, 100), Slice(want, n - tail, tail));
    EXPECT_EQ(ReadAtN(s, n, 8).size(), 0u);
    EXPECT_EQ(ReadAtN(s, UINT64_MAX, 8).size(), 0u);
    EXPECT_FALSE(s.Seek(n + 1));
    EXPECT_FALSE(s.Skip(n - mid + 1));
    EXPECT_FALSE(s.Skip(UINT64_MAX));
    EXPECT_EQ(s.GetPosition(), mid);
    EXPECT_EQ(s.GetRemaining(), n - mid);
    EXPECT_EQ(ReadN(s, n), Slice(want, mid, n - mid));
    ASSERT_TRUE(s.Seek(mid));
    EXPECT_TRUE(s.Skip(n - mid));
    EXPECT_EQ(ReadN(s, 1).size(), 0u);
    uint8_t const* map = s.GetMapping();
    EXPECT_TRUE(!map || Bytes(map, map + n) == want);
}

}  // namespace

// The contract over memory; a view holds its owner alive.
TEST(MemoryInStream, ContractAndViews) {
    auto data = Pattern(100);
    CheckSeekable(*MemoryInStream::Create(data), data, 1);
    CheckSeekable(*MemoryInStream::Create(nullptr, 0), {}, 2);
    struct Owner : Countable {
        Bytes bytes = Pattern(16);
    };
    Counted<Owner> owner(new Owner);
    auto view = MemoryInStream::CreateView(owner->bytes.data(), owner->bytes.size(), owner);
    auto expected = owner->bytes;
    owner = nullptr;
    EXPECT_EQ(ReadN(*view, 16), expected);
}

// Patching placeholders, gaps left by seeks past the end, and absurd seeks from a reader.
TEST(MemoryInOutStream, PatchExtendGapsAndAbsurdSeeks) {
    auto s = MemoryInOutStreamBase::Create();
    s->Reserve(4);
    auto a = Pattern(300, 2);
    ASSERT_TRUE(s->Write(a.data(), a.size()));
    uint8_t patch[4] = {1, 2, 3, 4};
    ASSERT_TRUE(s->Seek(100));
    ASSERT_TRUE(s->Write(patch, 4));
    EXPECT_EQ(s->GetPosition(), 104u);
    ASSERT_TRUE(s->Seek(300));
    ASSERT_TRUE(s->Write(patch, 2));
    auto expected = a;
    std::copy(patch, patch + 4, expected.begin() + 100);
    expected.insert(expected.end(), patch, patch + 2);
    EXPECT_EQ(s->GetData(), expected);
    // A gap is zeros once written.
    ASSERT_TRUE(s->Seek(310));
    ASSERT_TRUE(s->Write(patch, 1));
    expected.resize(310, 0);
    expected.push_back(1);
    EXPECT_EQ(s->GetData(), expected);
    ASSERT_TRUE(s->Seek(0));
    EXPECT_EQ(ReadN(*s, 1000), expected);
    EXPECT_EQ(ReadAtN(*s, 302, 3), Bytes(3, 0));
    EXPECT_EQ(s->GetMapping(), s->GetData().data());
    // A seek past the end shows no invented bytes to a reader; the data grows when handed over.
    ASSERT_TRUE(s->Seek(320));
    EXPECT_EQ(s->GetSize(), 311u);
    EXPECT_EQ(ReadN(*s, 4).size(), 0u);
    ASSERT_TRUE(s->Seek(0));
    expected.resize(320, 0);
    EXPECT_EQ(s->GetData(), expected);
    EXPECT_EQ(s->TakeData().size(), 320u);
    EXPECT_EQ(s->GetPosition(), 0u);
    // A document may ask for any offset: a short read, no allocation, no change.
    ASSERT_TRUE(s->Write(a.data(), 64));
    (void)s->Seek(uint64_t(1) << 62);
    EXPECT_EQ(ReadN(*s, 4).size(), 0u);
    EXPECT_EQ(s->GetSize(), 64u);
    EXPECT_EQ(s->GetRemaining(), 0u);
    EXPECT_FALSE(s->Seek(UINT64_MAX));
    ASSERT_TRUE(s->Seek(0));
    EXPECT_EQ(ReadN(*s, 100), Slice(a, 0, 64));
}

TEST(FileInStream, MappedReadsSeeksErrorsAndConcurrentReads) {
    std::string path = TempPath("in.bin");
    auto data = Pattern(3 * 1024 * 1024 + 17, 3);
    WriteFile(path, data);
    auto s = FileInStream::Open(path);
    ASSERT_TRUE(s);
    ::unlink(path.c_str());  // the mapping outlives the name
    ASSERT_NE(s->GetMapping(), nullptr);
    CheckSeekable(*s, data, 4);
    ASSERT_TRUE(s->Seek(1000));
    // Many threads reading positionally at once each get their own bytes.
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t) + 1);
            for (int i = 0; i < 400; ++i) {
                size_t pos = rng() % data.size(), n = rng() % 70000;
                if (ReadAtN(*s, pos, n) != Slice(data, pos, std::min(n, data.size() - pos))) ++bad;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(s->GetPosition(), 1000u);

    std::string err;
    EXPECT_FALSE(FileInStream::Open(TempPath("does-not-exist"), &err));
    EXPECT_FALSE(err.empty());
    EXPECT_FALSE(FileInStream::Open(testing::TempDir(), &err));
    EXPECT_EQ(err, "Is a directory");
    EXPECT_FALSE(FileInStream::Open("/dev/null", &err));
    EXPECT_EQ(err, "Not a regular file");
    std::string emptyPath = TempPath("empty.bin");
    WriteFile(emptyPath, {});
    auto e = FileInStream::Open(emptyPath);
    ::unlink(emptyPath.c_str());
    ASSERT_TRUE(e);
    CheckSeekable(*e, {}, 5);
}

// Chunks larger than the buffer, patches across its boundary, trailing gaps, use after close.
TEST(FileOutStream, LargeBufferedWritesPatchesAndFailures) {
    std::string path = TempPath("out.bin");
    auto s = FileOutStream::Create(path);
    ASSERT_TRUE(s);
    auto expected = Pattern(3 * 1024 * 1024 + 333, 5);
    size_t const sizes[] = {1, 7, 4096, 1500000, 3, 1048576, 65536};
    for (size_t i = 0, pos = 0; pos < expected.size(); ++i) {
        size_t n = std::min(sizes[i % 7], expected.size() - pos);
        ASSERT_TRUE(s->Write(expected.data() + pos, n));
        pos += n;
        EXPECT_EQ(s->GetPosition(), pos);
    }
    uint8_t patch[6] = {9, 8, 7, 6, 5, 4};
    for (size_t at : {size_t(2), size_t(1048576 - 3), expected.size() - 6}) {
        ASSERT_TRUE(s->Seek(at));
        ASSERT_TRUE(s->Write(patch, 6));
        std::copy(patch, patch + 6, expected.begin() + static_cast<ptrdiff_t>(at));
    }
    ASSERT_TRUE(s->Seek(expected.size()));
    ASSERT_TRUE(s->Write(patch, 2));
    expected.insert(expected.end(), patch, patch + 2);
    EXPECT_TRUE(s->Flush());
    EXPECT_EQ(ReadFile(path), expected);
    // A gap left by a seek past the end reads as zeros, even with nothing written after it.
    ASSERT_TRUE(s->Seek(expected.size() + 10));
    ASSERT_TRUE(s->Write(patch, 1));
    ASSERT_TRUE(s->Seek(expected.size() + 20));
    expected.resize(expected.size() + 10, 0);
    expected.push_back(9);
    expected.resize(expected.size() + 9, 0);
    EXPECT_TRUE(s->Close());
    EXPECT_EQ(ReadFile(path), expected);
    EXPECT_FALSE(s->Write(patch, 1));
    EXPECT_FALSE(s->Seek(0));
    EXPECT_TRUE(s->Close());  // closing again repeats the result
    ::unlink(path.c_str());

    std::string err;
    EXPECT_FALSE(FileOutStream::Create(TempPath("no-such-dir/x.bin"), &err));
    EXPECT_FALSE(err.empty());
    // The buffer hides a failed write until it is flushed; Close must report it.
    if (::access("/dev/full", W_OK) == 0) {
        auto full = FileOutStream::Create("/dev/full");
        ASSERT_TRUE(full);
        Bytes big(2 * 1024 * 1024, 1);
        (void)full->Write(big.data(), big.size());
        EXPECT_FALSE(full->Close());
    }
}

// The contract over windows (longer than the data too, nested); a window keeps its own cursor
// when the inner one moved, never reads outside, and offsets its mapping.
TEST(LimitedInStream, WindowsCursorsAndNesting) {
    auto data = Pattern(1000, 6);
    auto inner = MemoryInStream::Create(data);
    ASSERT_TRUE(inner->Seek(50));
    auto lim = LimitedInStream::Create(inner, 30);  // [50, 80), keeps inner alive
    EXPECT_EQ(inner->GetRefCount(), 2);
    EXPECT_EQ(lim->GetStart(), 50u);
    EXPECT_EQ(ReadN(*lim, 10), Slice(data, 50, 10));
    ASSERT_TRUE(inner->Seek(900));  // someone else moves the inner stream
    EXPECT_EQ(ReadN(*lim, 100), Slice(data, 60, 20));
    CheckSeekable(*lim, Slice(data, 50, 30), 6);
    EXPECT_EQ(lim->GetMapping(), inner->GetMapping() + 50);
    // A window longer than what remains ends with the data.
    ASSERT_TRUE(inner->Seek(990));
    auto tail = LimitedInStream::Create(NonCounted<InStreamSeekable>(*inner), 1000);
    CheckSeekable(*tail, Slice(data, 990, 10), 7);

    SpyStream spy(data);
    ASSERT_TRUE(spy.Seek(100));
    auto outer = LimitedInStream::Create(NonCounted<InStreamSeekable>(spy), 500);  // [100, 600)
    ASSERT_TRUE(outer->Seek(50));
    auto nested = LimitedInStream::Create(NonCounted<InStreamSeekable>(*outer), 100);
    CheckSeekable(*nested, Slice(data, 150, 100), 8);
    EXPECT_LE(spy.m_furthest, 250u);
    EXPECT_EQ(nested->GetMapping(), nullptr);
    ASSERT_TRUE(inner->Seek(10));
    auto l1 = LimitedInStream::Create(inner, 500);
    ASSERT_TRUE(l1->Seek(20));
    auto l2 = LimitedInStream::Create(Counted<InStreamSeekable>(l1), 5);
    EXPECT_EQ(l2->GetMapping(), inner->GetMapping() + 30);
    EXPECT_EQ(ReadN(*l2, 10), Slice(data, 30, 5));
}

// A write that would cross the limit writes nothing, and the stream stays failed.
TEST(LimitedOutStream, AcceptsUpToTheLimitThenFails) {
    uint8_t b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    auto sink = MemoryInOutStreamBase::Create();
    auto lim = LimitedOutStream::Create(*sink, 10);
    EXPECT_TRUE(lim->Write(b, 4));
    EXPECT_TRUE(lim->Write(b, 6));
    EXPECT_TRUE(lim->Write(b, 0));
    EXPECT_FALSE(lim->WasExceeded());
    EXPECT_EQ(lim->GetWritten(), 10u);
    EXPECT_FALSE(lim->Write(b, 1));
    EXPECT_TRUE(lim->WasExceeded());
    EXPECT_FALSE(lim->Write(b, 0));
    EXPECT_EQ(sink->GetData().size(), 10u);
    auto sink2 = MemoryInOutStreamBase::Create();
    auto crossing = LimitedOutStream::Create(*sink2, 5);
    EXPECT_TRUE(crossing->Write(b, 3));
    EXPECT_FALSE(crossing->Write(b, 3));
    EXPECT_EQ(sink2->GetData(), (Bytes{1, 2, 3}));
}

// Small and larger-than-buffer reads keep the inner cursor in step; the limit is never overrun.
TEST(BufferedInStream, MixedReadsSeeksAndLimit) {
    auto data = Pattern(100000, 9);
    SpyStream inner(data);
    ASSERT_TRUE(inner.Seek(7));
    auto b = BufferedInStream::Create(inner, 4096);
    EXPECT_EQ(b->GetPosition(), 7u);
    std::mt19937 rng(3);
    for (size_t pos = 7; pos < data.size();) {
        size_t n = (rng() % 8 == 0) ? 4096 + rng() % 10000 : rng() % 20;
        size_t want = std::min(n, data.size() - pos);
        ASSERT_EQ(ReadN(*b, n), Slice(data, pos, want)) << "at " << pos;
        pos += want;
        ASSERT_EQ(b->GetPosition(), pos);
        ASSERT_EQ(inner.GetPosition(), pos);
    }
    CheckSeekable(*b, data, 9);

    SpyStream inner2(data);
    ASSERT_TRUE(inner2.Seek(100));
    auto l = BufferedInStream::Create(inner2, 1024);
    l->SetLimit(300);  // [100, 400)
    EXPECT_EQ(l->GetSize(), 400u);
    Bytes got;
    for (Bytes part; !(part = ReadN(*l, 7)).empty();)
        got.insert(got.end(), part.begin(), part.end());
    EXPECT_EQ(got, Slice(data, 100, 300));
    EXPECT_EQ(inner2.GetPosition(), 400u);
    EXPECT_TRUE(l->Seek(150));
    EXPECT_EQ(inner2.GetPosition(), 150u);
    EXPECT_EQ(ReadN(*l, 5), Slice(data, 150, 5));
    EXPECT_FALSE(l->Seek(401));
    EXPECT_EQ(l->GetPosition(), 155u);
    EXPECT_TRUE(l->Seek(390));
    EXPECT_EQ(ReadN(*l, 5000), Slice(data, 390, 10));
    EXPECT_EQ(ReadAtN(*l, 395, 50).size(), 5u);
    EXPECT_LE(inner2.m_furthest, 400u);
    EXPECT_TRUE(l->Seek(100));  // back: from the buffer or the source, the same bytes
    EXPECT_EQ(ReadN(*l, 300), Slice(data, 100, 300));
    l->ClearLimit();
    EXPECT_EQ(l->GetSize(), data.size());
    EXPECT_EQ(ReadN(*l, 100), Slice(data, 400, 100));
    EXPECT_EQ(l->GetMapping(), nullptr);
    EXPECT_FALSE(l->Seek(data.size() + 1));
}
