#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/kernel/Stream.h"
#include "support/OneByteStream.h"

using namespace Kernel;

namespace {

std::vector<uint8_t> Pattern(size_t n, uint32_t seed = 1) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 12345;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return v;
}

std::vector<uint8_t> Slice(std::vector<uint8_t> const& v, size_t pos, size_t n) {
    return std::vector<uint8_t>(v.begin() + static_cast<ptrdiff_t>(pos),
                                v.begin() + static_cast<ptrdiff_t>(pos + n));
}

std::vector<uint8_t> ReadN(InStream& s, size_t n) {
    std::vector<uint8_t> out(n);
    out.resize(s.Read(out.data(), n));
    return out;
}

std::string TempPath(char const* name) {
    return testing::TempDir() + "zuzodoriv_kernel_" + std::to_string(::getpid()) + "_" + name;
}

std::vector<uint8_t> ReadFile(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

void WriteFile(std::string const& path, std::vector<uint8_t> const& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<char const*>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

// A seekable memory stream that remembers the furthest byte any read asked for, and counts
// cursor reads, so adaptors can be caught reading outside their window.
class SpyStream : public InStreamSeekable {
public:
    explicit SpyStream(std::vector<uint8_t> data) : m_data(std::move(data)) {}
    size_t Read(void* buf, size_t n) override {
        size_t got = Copy(m_pos, buf, n);
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
    size_t ReadAt(uint64_t pos, void* buf, size_t n) override { return Copy(pos, buf, n); }

    uint64_t m_furthest = 0;  // one past the last byte asked for

private:
    size_t Copy(uint64_t pos, void* buf, size_t n) {
        if (n) m_furthest = std::max<uint64_t>(m_furthest, pos + n);
        if (pos >= m_data.size()) return 0;
        size_t take = static_cast<size_t>(std::min<uint64_t>(n, m_data.size() - pos));
        std::memcpy(buf, m_data.data() + pos, take);
        return take;
    }
    std::vector<uint8_t> m_data;
    uint64_t m_pos = 0;
};

// An output that only collects.
class VectorOutStream : public OutStream {
public:
    bool Write(void const* buf, size_t n) override {
        auto const* p = static_cast<uint8_t const*>(buf);
        m_data.insert(m_data.end(), p, p + n);
        return true;
    }
    std::vector<uint8_t> m_data;
};

}  // namespace

TEST(MemoryInStream, ReadSeekSkipAndPositionalReads) {
    auto data = Pattern(100);
    auto s = MemoryInStream::Create(data);
    EXPECT_EQ(s->GetSize(), 100u);
    EXPECT_EQ(ReadN(*s, 10), Slice(data, 0, 10));
    EXPECT_EQ(s->GetPosition(), 10u);
    EXPECT_EQ(s->GetRemaining(), 90u);
    EXPECT_TRUE(s->Skip(80));
    EXPECT_EQ(ReadN(*s, 50), Slice(data, 90, 10));  // short read at the end
    EXPECT_EQ(ReadN(*s, 1).size(), 0u);
    EXPECT_EQ(s->GetRemaining(), 0u);
    // Seeking or skipping past the end fails and leaves the position alone.
    EXPECT_TRUE(s->Seek(40));
    EXPECT_FALSE(s->Seek(101));
    EXPECT_FALSE(s->Skip(61));
    EXPECT_FALSE(s->Skip(UINT64_MAX));
    EXPECT_EQ(s->GetPosition(), 40u);
    EXPECT_TRUE(s->Skip(60));
    EXPECT_EQ(s->GetPosition(), 100u);
    // ReadAt ignores the cursor.
    uint8_t b[8];
    EXPECT_EQ(s->ReadAt(96, b, 8), 4u);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 4), Slice(data, 96, 4));
    EXPECT_EQ(s->ReadAt(100, b, 8), 0u);
    EXPECT_EQ(s->ReadAt(UINT64_MAX, b, 8), 0u);
    EXPECT_EQ(s->GetPosition(), 100u);
    ASSERT_NE(s->GetMapping(), nullptr);
    EXPECT_EQ(std::vector<uint8_t>(s->GetMapping(), s->GetMapping() + 100), data);
    EXPECT_TRUE(s->ReadExact(b, 0));
}

TEST(MemoryInStream, ViewKeepsItsOwnerAlive) {
    struct Owner : Countable {
        std::vector<uint8_t> bytes = Pattern(16);
    };
    Counted<Owner> owner(new Owner);
    auto view = MemoryInStream::CreateView(owner->bytes.data(), owner->bytes.size(), owner);
    EXPECT_EQ(owner->GetRefCount(), 2);
    auto expected = owner->bytes;
    owner = nullptr;  // the view still holds it
    EXPECT_EQ(ReadN(*view, 16), expected);
    auto empty = MemoryInStream::Create(nullptr, 0);
    EXPECT_EQ(empty->GetSize(), 0u);
    EXPECT_EQ(ReadN(*empty, 4).size(), 0u);
}

TEST(MemoryInOutStream, WritePatchExtendAndReadBack) {
    auto s = MemoryInOutStreamBase::Create();
    s->Reserve(4);
    auto a = Pattern(300, 2);
    ASSERT_TRUE(s->Write(a.data(), a.size()));
    EXPECT_EQ(s->GetPosition(), 300u);
    // Patch a length placeholder in the middle, then carry on at the end.
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
    // Past the end: the gap becomes zeros once written.
    ASSERT_TRUE(s->Seek(310));
    ASSERT_TRUE(s->Write(patch, 1));
    expected.resize(310, 0);
    expected.push_back(1);
    EXPECT_EQ(s->GetData(), expected);
    EXPECT_EQ(s->GetSize(), 311u);
    // Read it back through the input side, whole and positional.
    ASSERT_TRUE(s->Seek(0));
    EXPECT_EQ(ReadN(*s, 1000), expected);
    uint8_t b[3];
    EXPECT_EQ(s->ReadAt(302, b, 3), 3u);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 3), std::vector<uint8_t>(3, 0));
    EXPECT_EQ(s->GetMapping(), s->GetData().data());
}

TEST(MemoryInOutStream, SeekPastTheEndWithoutWritingStillExtends) {
    auto s = MemoryInOutStreamBase::Create();
    uint8_t x = 7;
    ASSERT_TRUE(s->Write(&x, 1));
    ASSERT_TRUE(s->Seek(8));
    // A reader sees no invented bytes; the data only grows when handed over.
    EXPECT_EQ(s->GetSize(), 1u);
    EXPECT_EQ(ReadN(*s, 4).size(), 0u);
    ASSERT_TRUE(s->Seek(0));
    EXPECT_EQ(s->GetData(), (std::vector<uint8_t>{7, 0, 0, 0, 0, 0, 0, 0}));
    auto taken = s->TakeData();
    EXPECT_EQ(taken.size(), 8u);
    EXPECT_EQ(s->GetPosition(), 0u);
}

TEST(MemoryInOutStream, AbsurdSeekNeitherAllocatesNorAltersTheData) {
    auto s = MemoryInOutStreamBase::Create();
    auto a = Pattern(64);
    ASSERT_TRUE(s->Write(a.data(), a.size()));
    // A document read from this stream may ask for any offset; that must fail as a short read.
    ASSERT_TRUE(s->Seek(0));
    (void)s->Seek(uint64_t(1) << 62);
    uint8_t b[4];
    EXPECT_EQ(s->Read(b, 4), 0u);
    EXPECT_EQ(s->GetSize(), 64u);
    EXPECT_EQ(s->GetRemaining(), 0u);
    ASSERT_TRUE(s->Seek(0));
    EXPECT_EQ(ReadN(*s, 100), a);
    EXPECT_FALSE(s->Seek(UINT64_MAX));
}

TEST(FileInStream, MappedReadsSeeksAndErrors) {
    std::string path = TempPath("in.bin");
    auto data = Pattern(3 * 1024 * 1024 + 17, 3);
    WriteFile(path, data);
    auto s = FileInStream::Open(path);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->GetSize(), data.size());
    ASSERT_NE(s->GetMapping(), nullptr);
    EXPECT_EQ(std::memcmp(s->GetMapping(), data.data(), data.size()), 0);
    EXPECT_EQ(ReadN(*s, 1000), Slice(data, 0, 1000));
    ASSERT_TRUE(s->Seek(data.size() - 5));
    EXPECT_EQ(ReadN(*s, 100), Slice(data, data.size() - 5, 5));
    EXPECT_FALSE(s->Seek(data.size() + 1));
    EXPECT_EQ(s->GetPosition(), data.size());
    EXPECT_FALSE(s->Skip(1));
    ::unlink(path.c_str());

    std::string err;
    EXPECT_FALSE(FileInStream::Open(TempPath("does-not-exist"), &err));
    EXPECT_FALSE(err.empty());
    err.clear();
    EXPECT_FALSE(FileInStream::Open(testing::TempDir(), &err));
    EXPECT_EQ(err, "Is a directory");
    err.clear();
    EXPECT_FALSE(FileInStream::Open("/dev/null", &err));
    EXPECT_EQ(err, "Not a regular file");

    std::string emptyPath = TempPath("empty.bin");
    WriteFile(emptyPath, {});
    auto e = FileInStream::Open(emptyPath);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->GetSize(), 0u);
    EXPECT_EQ(ReadN(*e, 10).size(), 0u);
    ::unlink(emptyPath.c_str());
}

TEST(FileInStream, ConcurrentPositionalReadsGetTheRightBytes) {
    std::string path = TempPath("threads.bin");
    auto data = Pattern(2 * 1024 * 1024, 4);
    WriteFile(path, data);
    auto s = FileInStream::Open(path);
    ASSERT_TRUE(s);
    ::unlink(path.c_str());  // the mapping outlives the name
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t) + 1);
            std::vector<uint8_t> buf(70000);
            for (int i = 0; i < 400; ++i) {
                size_t pos = rng() % data.size();
                size_t n = rng() % buf.size();
                size_t got = s->ReadAt(pos, buf.data(), n);
                size_t want = std::min(n, data.size() - pos);
                if (got != want || std::memcmp(buf.data(), data.data() + pos, got) != 0) ++bad;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(s->GetPosition(), 0u);
}

TEST(FileOutStream, LargeBufferedWritesWithPatches) {
    std::string path = TempPath("out.bin");
    auto s = FileOutStream::Create(path);
    ASSERT_TRUE(s);
    auto data = Pattern(3 * 1024 * 1024 + 333, 5);
    std::vector<uint8_t> expected;
    // Mixed chunk sizes, some far larger than the internal buffer.
    size_t pos = 0;
    size_t sizes[] = {1, 7, 4096, 1500000, 3, 1048576, 65536};
    for (size_t i = 0; pos < data.size(); ++i) {
        size_t n = std::min(sizes[i % 7], data.size() - pos);
        ASSERT_TRUE(s->Write(data.data() + pos, n));
        pos += n;
        EXPECT_EQ(s->GetPosition(), pos);
    }
    expected = data;
    // Patch near the start, across the first buffer boundary and at the very end.
    uint8_t patch[6] = {9, 8, 7, 6, 5, 4};
    for (size_t at : {size_t(2), size_t(1048576 - 3), data.size() - 6}) {
        ASSERT_TRUE(s->Seek(at));
        ASSERT_TRUE(s->Write(patch, 6));
        std::copy(patch, patch + 6, expected.begin() + static_cast<ptrdiff_t>(at));
    }
    // Back to the end and append.
    ASSERT_TRUE(s->Seek(data.size()));
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
    // Closed: further use fails, closing again reports the same success.
    EXPECT_FALSE(s->Write(patch, 1));
    EXPECT_FALSE(s->Seek(0));
    EXPECT_TRUE(s->Close());
    ::unlink(path.c_str());

    std::string err;
    EXPECT_FALSE(FileOutStream::Create(TempPath("no-such-dir/x.bin"), &err));
    EXPECT_FALSE(err.empty());
}

TEST(FileOutStream, FailedWritesAreReportedByClose) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    auto s = FileOutStream::Create("/dev/full");
    ASSERT_TRUE(s);
    std::vector<uint8_t> big(2 * 1024 * 1024, 1);
    // The buffer hides the failure until it is flushed; from then on everything fails.
    bool wrote = s->Write(big.data(), big.size());
    bool closed = s->Close();
    EXPECT_FALSE(wrote && closed);
    EXPECT_FALSE(closed);
}

TEST(LimitedInStream, WindowReadsSeeksAndMapping) {
    auto data = Pattern(200, 6);
    auto inner = MemoryInStream::Create(data);
    ASSERT_TRUE(inner->Seek(50));
    auto lim = LimitedInStream::Create(inner, 30);  // a counted derived stream is kept alive
    EXPECT_EQ(inner->GetRefCount(), 2);
    EXPECT_EQ(lim->GetStart(), 50u);
    EXPECT_EQ(lim->GetSize(), 30u);
    EXPECT_EQ(lim->GetPosition(), 0u);
    EXPECT_EQ(ReadN(*lim, 10), Slice(data, 50, 10));
    EXPECT_EQ(ReadN(*lim, 100), Slice(data, 60, 20));
    EXPECT_EQ(ReadN(*lim, 1).size(), 0u);
    EXPECT_EQ(inner->GetPosition(), 80u);
    // Seeks are relative and confined.
    EXPECT_FALSE(lim->Seek(31));
    EXPECT_EQ(lim->GetPosition(), 30u);
    EXPECT_TRUE(lim->Seek(5));
    EXPECT_EQ(inner->GetPosition(), 55u);
    EXPECT_FALSE(lim->Skip(26));
    EXPECT_TRUE(lim->Skip(25));
    EXPECT_EQ(lim->GetRemaining(), 0u);
    uint8_t b[40];
    EXPECT_EQ(lim->ReadAt(25, b, 40), 5u);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 5), Slice(data, 75, 5));
    EXPECT_EQ(lim->ReadAt(30, b, 1), 0u);
    EXPECT_EQ(lim->GetMapping(), inner->GetMapping() + 50);
    // A window longer than what remains ends with the data.
    ASSERT_TRUE(inner->Seek(190));
    auto tail = LimitedInStream::Create(NonCounted<InStreamSeekable>(*inner), 1000);
    EXPECT_EQ(tail->GetSize(), 10u);
    EXPECT_EQ(ReadN(*tail, 1000), Slice(data, 190, 10));
}

TEST(LimitedInStream, FollowsItsOwnCursorWhenTheInnerOneMoved) {
    auto data = Pattern(100, 7);
    auto inner = MemoryInStream::Create(data);
    ASSERT_TRUE(inner->Seek(20));
    auto lim = LimitedInStream::Create(inner.Get(), 40);
    EXPECT_EQ(ReadN(*lim, 5), Slice(data, 20, 5));
    // Someone else uses the inner stream between our reads.
    ASSERT_TRUE(inner->Seek(90));
    uint8_t junk[3];
    (void)inner->Read(junk, 3);
    EXPECT_EQ(ReadN(*lim, 5), Slice(data, 25, 5));
    ASSERT_TRUE(inner->Seek(0));
    EXPECT_EQ(ReadN(*lim, 100), Slice(data, 30, 30));
}

TEST(LimitedInStream, NestedWindowsNeverReadOutside) {
    SpyStream spy(Pattern(1000, 8));
    auto data = Pattern(1000, 8);
    ASSERT_TRUE(spy.Seek(100));
    auto outer = LimitedInStream::Create(NonCounted<InStreamSeekable>(spy), 500);  // [100, 600)
    ASSERT_TRUE(outer->Seek(50));
    auto inner = LimitedInStream::Create(NonCounted<InStreamSeekable>(*outer), 100);  // [150, 250)
    EXPECT_EQ(inner->GetStart(), 50u);
    EXPECT_EQ(ReadN(*inner, 1000), Slice(data, 150, 100));
    EXPECT_LE(spy.m_furthest, 250u);
    uint8_t b[500];
    EXPECT_EQ(inner->ReadAt(90, b, 500), 10u);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 10), Slice(data, 240, 10));
    EXPECT_LE(spy.m_furthest, 250u);
    EXPECT_FALSE(inner->Seek(101));
    EXPECT_TRUE(inner->Seek(100));
    EXPECT_EQ(inner->GetMapping(), nullptr);  // the spy has no mapping to offer
    // Over a mapped stream, nested windows add their starts.
    auto mem = MemoryInStream::Create(data);
    ASSERT_TRUE(mem->Seek(10));
    auto l1 = LimitedInStream::Create(mem, 500);
    ASSERT_TRUE(l1->Seek(20));
    auto l2 = LimitedInStream::Create(Counted<InStreamSeekable>(l1), 5);
    EXPECT_EQ(l2->GetMapping(), mem->GetMapping() + 30);
    EXPECT_EQ(ReadN(*l2, 10), Slice(data, 30, 5));
}

TEST(LimitedOutStream, AcceptsUpToTheLimitThenFails) {
    VectorOutStream sink;
    auto lim = LimitedOutStream::Create(sink, 10);
    uint8_t b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_TRUE(lim->Write(b, 4));
    EXPECT_TRUE(lim->Write(b, 6));
    EXPECT_FALSE(lim->WasExceeded());
    EXPECT_EQ(lim->GetWritten(), 10u);
    EXPECT_TRUE(lim->Write(b, 0));
    EXPECT_FALSE(lim->Write(b, 1));
    EXPECT_TRUE(lim->WasExceeded());
    EXPECT_FALSE(lim->Write(b, 0));  // once exceeded, always failing
    EXPECT_EQ(sink.m_data.size(), 10u);

    VectorOutStream sink2;
    auto crossing = LimitedOutStream::Create(sink2, 5);
    EXPECT_TRUE(crossing->Write(b, 3));
    EXPECT_FALSE(crossing->Write(b, 3));  // would cross: nothing of it is written
    EXPECT_TRUE(crossing->WasExceeded());
    EXPECT_EQ(sink2.m_data, (std::vector<uint8_t>{1, 2, 3}));
}

TEST(BufferedInStream, MixedReadsMatchTheSourceAndKeepTheInnerInStep) {
    auto data = Pattern(100000, 9);
    SpyStream inner(data);
    ASSERT_TRUE(inner.Seek(7));
    auto b = BufferedInStream::Create(inner, 4096);
    EXPECT_EQ(b->GetPosition(), 7u);
    std::mt19937 rng(3);
    size_t pos = 7;
    while (pos < data.size()) {
        // Mostly small reads, sometimes larger than the buffer.
        size_t n = (rng() % 8 == 0) ? 4096 + rng() % 10000 : rng() % 20;
        auto got = ReadN(*b, n);
        size_t want = std::min(n, data.size() - pos);
        ASSERT_EQ(got, Slice(data, pos, want)) << "at " << pos;
        pos += want;
        ASSERT_EQ(b->GetPosition(), pos);
        ASSERT_EQ(inner.GetPosition(), pos);
    }
    EXPECT_EQ(ReadN(*b, 10).size(), 0u);
}

TEST(BufferedInStream, LimitEndsReadsAndIsNeverOverrun) {
    auto data = Pattern(10000, 10);
    SpyStream inner(data);
    ASSERT_TRUE(inner.Seek(100));
    auto b = BufferedInStream::Create(inner, 1024);
    b->SetLimit(300);  // [100, 400)
    EXPECT_EQ(b->GetSize(), 400u);
    std::vector<uint8_t> got;
    for (;;) {
        auto part = ReadN(*b, 7);
        if (part.empty()) break;
        got.insert(got.end(), part.begin(), part.end());
    }
    EXPECT_EQ(got, Slice(data, 100, 300));
    EXPECT_LE(inner.m_furthest, 400u);
    EXPECT_EQ(inner.GetPosition(), 400u);
    // Seeks inside the window work and go to the inner stream; beyond it they fail.
    EXPECT_TRUE(b->Seek(150));
    EXPECT_EQ(inner.GetPosition(), 150u);
    EXPECT_EQ(ReadN(*b, 5), Slice(data, 150, 5));
    EXPECT_FALSE(b->Seek(401));
    EXPECT_EQ(b->GetPosition(), 155u);
    EXPECT_TRUE(b->Seek(390));
    EXPECT_EQ(ReadN(*b, 5000), Slice(data, 390, 10));
    uint8_t x[50];
    EXPECT_EQ(b->ReadAt(395, x, 50), 5u);
    EXPECT_LE(inner.m_furthest, 400u);
    // Seeking back serves from the buffer or the source; both give the same bytes.
    EXPECT_TRUE(b->Seek(100));
    EXPECT_EQ(ReadN(*b, 300), Slice(data, 100, 300));
    // Without the limit the stream runs to the end of the source.
    b->ClearLimit();
    EXPECT_EQ(b->GetSize(), data.size());
    EXPECT_EQ(ReadN(*b, 100), Slice(data, 400, 100));
    EXPECT_EQ(b->GetMapping(), nullptr);
    EXPECT_FALSE(b->Seek(data.size() + 1));
}

TEST(ForwardBiasedSeekableInStream, OneByteSourceSeeksBothWays) {
    auto data = Pattern(200000, 11);
    testsupport::OneByteInStream source(data);
    auto s = ForwardBiasedSeekableInStream::Create(source);
    EXPECT_EQ(s->GetSize(), kUnknownSize);
    EXPECT_EQ(s->GetRemaining(), kUnknownSize);
    EXPECT_EQ(ReadN(*s, 10), Slice(data, 0, 10));
    // Forward past what has been read, then back into it.
    ASSERT_TRUE(s->Seek(150000));
    EXPECT_EQ(ReadN(*s, 3), Slice(data, 150000, 3));
    ASSERT_TRUE(s->Seek(5));
    EXPECT_EQ(ReadN(*s, 100), Slice(data, 5, 100));
    ASSERT_TRUE(s->Skip(1000));
    EXPECT_EQ(s->GetPosition(), 1105u);
    uint8_t b[16];
    EXPECT_EQ(s->ReadAt(7, b, 16), 16u);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 16), Slice(data, 7, 16));
    EXPECT_EQ(s->GetPosition(), 1105u);
    EXPECT_EQ(s->GetSize(), kUnknownSize);
    // Read to the end: now the size is known.
    auto rest = ReadN(*s, data.size());
    EXPECT_EQ(rest, Slice(data, 1105, data.size() - 1105));
    EXPECT_EQ(s->GetSize(), data.size());
    EXPECT_EQ(s->GetRemaining(), 0u);
    EXPECT_FALSE(s->Seek(data.size() + 1));
    EXPECT_FALSE(s->Skip(1));
    EXPECT_EQ(s->GetPosition(), data.size());
    EXPECT_TRUE(s->Seek(0));
    EXPECT_EQ(ReadN(*s, data.size() + 10), data);
}

TEST(ForwardBiasedSeekableInStream, SkipPastTheEndFailsBeforeTheSizeIsKnown) {
    auto data = Pattern(5000, 12);
    testsupport::OneByteInStream source(data);
    auto s = ForwardBiasedSeekableInStream::Create(source);
    ASSERT_TRUE(s->Seek(100));
    EXPECT_FALSE(s->Skip(4901));
    EXPECT_EQ(s->GetPosition(), 100u);
    EXPECT_EQ(s->GetSize(), 5000u);
    EXPECT_TRUE(s->Skip(4900));
    // A window over it ends where the data ends.
    ASSERT_TRUE(s->Seek(4990));
    auto lim = LimitedInStream::Create(NonCounted<InStreamSeekable>(*s), 100);
    EXPECT_EQ(ReadN(*lim, 100), Slice(data, 4990, 10));
}

TEST(ForwardBiasedSeekableInStream, BufferedReaderOnTop) {
    auto data = Pattern(300000, 13);
    testsupport::OneByteInStream source(data);
    auto s = ForwardBiasedSeekableInStream::Create(source);
    ASSERT_TRUE(s->Seek(1000));
    auto b = BufferedInStream::Create(*s, 131076);
    b->SetLimit(200000);
    std::vector<uint8_t> got;
    std::mt19937 rng(5);
    for (;;) {
        auto part = ReadN(*b, rng() % 3000);
        if (part.empty() && b->GetPosition() >= 201000) break;
        got.insert(got.end(), part.begin(), part.end());
    }
    EXPECT_EQ(got, Slice(data, 1000, 200000));
    EXPECT_EQ(s->GetPosition(), 201000u);
}
