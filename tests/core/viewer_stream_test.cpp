// The viewer's reading stack: the cached file stream, the text reader's line rules
// over files built here (block edges, NUL runs, the length cap, byte-order marks,
// malformed UTF-8), the two modes of the line reader, and the files it refuses.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "test_files.h"
#include "readers/BufferedFileStreamUnit.h"
#include "readers/uLineReaderWriter.h"

using namespace zarvo;

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> ReadAll(TLineReader& r) {
    std::vector<std::string> lines;
    while (!r.EndOfLines()) lines.push_back(r.ReadLine());
    EXPECT_EQ(r.ReadLine(), "");
    EXPECT_EQ(r.LineIndex(), static_cast<int64_t>(lines.size()));
    return lines;
}

std::string Utf16(const std::u16string& s, bool bigEndian) {
    return test::Utf16Bytes(s, bigEndian);
}

// The first n characters of well-formed UTF-8.
std::string FirstChars(const std::string& s, size_t n) {
    size_t i = 0;
    for (size_t chars = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && chars++ == n) break;
    }
    return s.substr(0, i);
}

struct LineCase {
    const char* Name;
    std::string Bytes;
    std::vector<std::string> Lines;
};

std::vector<LineCase> LineCases() {
    const std::string x70000(70000, 'x');
    std::string e70000;
    for (int i = 0; i < 70000; ++i) e70000 += "\xC3\xA9";
    return {
        {"empty", "", {}},
        {"UTF-8 mark only", "\xEF\xBB\xBF", {}},
        {"UTF-16 LE mark only", "\xFF\xFE", {}},
        {"UTF-16 BE mark only", "\xFE\xFF", {}},
        {"every break", "a\r\nb\rc\nd", {"a", "b", "c", "d"}},
        {"final break adds no line", "a\n", {"a"}},
        {"empty lines", "\n\r\n\r", {"", "", ""}},
        {"CR CR LF", "a\r\r\nb", {"a", "", "b"}},
        {"NUL run after text", std::string("abc\0\0\0\nx", 8), {"abc", "", "x"}},
        {"NUL run before text", std::string("\0\0abc", 5), {"", "abc"}},
        {"NUL padding", "text\n" + std::string(5000, '\0'), {"text", ""}},
        {"UTF-8 mark",
         "\xEF\xBB\xBF"
         "a\nb",
         {"a", "b"}},
        {"UTF-16 LE", Utf16(u"h\u00e9\r\nx\U0001F600", false), {"h\xC3\xA9", "x\xF0\x9F\x98\x80"}},
        {"UTF-16 BE", Utf16(u"h\u00e9\nx", true), {"h\xC3\xA9", "x"}},
        {"malformed UTF-8",
         "a\xFF"
         "b\xE2\x82\nc\x80",
         {"a" + kFffd + "b" + kFffd, "c" + kFffd}},
        {"maximal subparts, one U+FFFD each",
         "\xED\xA0\x80|\xE0\x80\xAF|\xF4\x90\x80\x80|\xF0\x9F\x98",
         {kFffd + kFffd + kFffd + "|" + kFffd + kFffd + kFffd + "|" + kFffd + kFffd + kFffd + kFffd + "|" +
          kFffd}},
        // A line over the cap is one line, cut there; the rest of it is passed over.
        {"70000 characters", x70000, {std::string(65535, 'x')}},
        {"70000 two-byte characters", e70000, {e70000.substr(0, 2 * 65535)}},
        {"over the cap, then more lines",
         x70000 + "\nnext\r\nlast",
         {std::string(65535, 'x'), "next", "last"}},
        {"over the cap, its CR LF over a 128- and a 1024-byte edge",
         std::string(70655, 'x') + "\r\nz",
         {std::string(65535, 'x'), "z"}},
        {"over the cap, ending in a CR at the end", x70000 + "\r", {std::string(65535, 'x')}},
        {"over the cap, then a NUL run",
         x70000 + std::string(3, '\0') + "b",
         {std::string(65535, 'x'), "", "b"}},
        {"a NUL run over the cap is one empty line", std::string(70000, '\0') + "a\n", {"", "a"}},
        {"UTF-16 over the cap",
         Utf16(std::u16string(70000, u'a') + u"\r\nb", false),
         {std::string(65535, 'a'), "b"}},
        {"exactly the cap, then a break", std::string(65535, 'y') + "\r\nz", {std::string(65535, 'y'), "z"}},
        {"exactly the cap, then NULs",
         std::string(65535, 'y') + std::string(2, '\0'),
         {std::string(65535, 'y'), ""}},
        {"last line ends a whole block", std::string(126, 'a') + "\nc", {std::string(126, 'a'), "c"}},
        {"CR LF over a 128-byte edge", std::string(127, 'a') + "\r\nb", {std::string(127, 'a'), "b"}},
        {"CR LF over a 1024-byte edge", std::string(1023, 'a') + "\r\nb", {std::string(1023, 'a'), "b"}},
        {"character over a 1024-byte edge",
         std::string(1023, 'a') + "\xE2\x82\xAC\n",
         {std::string(1023, 'a') + "\xE2\x82\xAC"}},
        {"surrogate pair over a block edge",
         Utf16(std::u16string(62, u'a') + u"\U0001F600", false),
         {std::string(62, 'a') + "\xF0\x9F\x98\x80"}},
    };
}

// Each case through several block and cache sizes (128 and 129 split characters
// and CR LF pairs at the block edges); skipping lines counts them alike.
TEST(ViewerStream, LineRules) {
    test::TTempDir dir("viewer-lines");
    const std::string path = dir / "f.txt";
    const struct { int32_t Cache, Block; } sizes[] = {{65536, 1024}, {100, 128}, {16384, 129}, {1000, 65536}};
    for (const LineCase& c : LineCases()) {
        WriteFile(path, c.Bytes);
        for (const auto& s : sizes) {
            TCachedFileLineReader r(path, s.Cache, s.Block);
            EXPECT_EQ(ReadAll(r), c.Lines) << c.Name << " cache " << s.Cache << " block " << s.Block;
            TCachedFileLineReader skip(path, s.Cache, s.Block);
            int64_t skipped = 0;
            while (!skip.EndOfLines()) skipped += skip.SkipLines(1 << 20);
            EXPECT_EQ(skipped, static_cast<int64_t>(c.Lines.size())) << c.Name;
            TCachedFileLineReader one(path, s.Cache, s.Block);
            int64_t n = 0;
            for (; !one.EndOfLines(); ++n) one.GotoNextLine();
            EXPECT_EQ(n, static_cast<int64_t>(c.Lines.size())) << c.Name;
        }
        TLineReader plain(path, 0);
        EXPECT_EQ(ReadAll(plain), c.Lines) << c.Name << " uncached";
    }
}

// Long runs for the batch skip: many short lines between NUL runs, CR LF at every
// 64-byte edge, and a line over the cap in the middle.
TEST(ViewerStream, SkipLinesMatchesReadLine) {
    test::TTempDir dir("viewer-skip");
    const std::string path = dir / "f.txt";
    std::string bytes;
    for (int i = 0; i < 3000; ++i) {
        bytes += std::string(static_cast<size_t>(i % 130), 'a') + (i % 3 ? "\r\n" : i % 5 ? "\r" : "\n");
        if (i % 700 == 0) bytes += std::string(static_cast<size_t>(i % 9 + 1), '\0');
        if (i == 1500) bytes += std::string(200000, 'b') + "\n";
        // Lines just over the cap, ending at every offset of a 64-byte run.
        if (i >= 2000 && i < 2064) bytes += std::string(65535 + static_cast<size_t>(i % 64), 'c') + "\n";
    }
    WriteFile(path, bytes);
    TCachedFileLineReader r(path, 65536, 1024);
    const size_t lines = ReadAll(r).size();
    for (int64_t batch : {1, 63, 64, 4096}) {
        TCachedFileLineReader s(path, 65536, 65536);
        int64_t n = 0;
        while (!s.EndOfLines()) n += s.SkipLines(batch);
        EXPECT_EQ(n, static_cast<int64_t>(lines)) << batch;
        EXPECT_EQ(s.LineIndex(), n);
    }
}

// The batch skip against the cap where lines end just past it inside one block:
// every line is one, those over the cap cut to it.
TEST(ViewerStream, SkipLinesHonoursASmallCap) {
    std::string bytes;
    for (size_t n = 90; n < 240; ++n) bytes += std::string(n, 'd') + "\n";
    const auto reader = [&](TBytesStream& s) {
        auto r = std::make_unique<TLineReader>(&s, 65536, false);
        r->StreamReader()->SetTruncLineLength(100);
        return r;
    };
    TBytesStream a(bytes), b(bytes);
    const auto lines = ReadAll(*reader(a));
    ASSERT_EQ(lines.size(), 150u);
    for (size_t n = 90; n < 240; ++n) EXPECT_EQ(lines[n - 90], std::string(std::min<size_t>(n, 100), 'd'));
    const auto skip = reader(b);
    int64_t skipped = 0;
    while (!skip->EndOfLines()) skipped += skip->SkipLines(1 << 20);
    EXPECT_EQ(skipped, 150);
}

// Which lines were cut, whichever way they are taken; the rest of a cut line goes
// in steps of about the bytes asked for, and a read after it finds the next line.
TEST(ViewerStream, CutLinesAndTheirRest) {
    const std::string bytes = "a\n" + std::string(200000, 'x') + "\r\n" + std::string(65535, 'y') + "\n" +
                              std::string(100000, '\0') + "b\n" + std::string(65536, 'z');
    const std::vector<std::pair<std::string, bool>> want = {
        {"a", false}, {std::string(65535, 'x'), true}, {std::string(65535, 'y'), false},
        {"", false}, // a NUL run
        {"b", false}, {std::string(65535, 'z'), true}};
    TBytesStream read(bytes), go(bytes), skip(bytes);
    TLineReader r(&read, 1024, false), g(&go, 1024, false), s(&skip, 1024, false);
    for (const auto& [line, cut] : want) {
        ASSERT_FALSE(r.EndOfLines());
        EXPECT_EQ(r.ReadLine(), line);
        EXPECT_EQ(r.LineCut(), cut) << r.LineIndex();
        g.GotoNextLine();
        EXPECT_EQ(g.LineCut(), cut) << g.LineIndex();
        // A batch stops after a cut line; its rest goes in steps.
        EXPECT_EQ(s.SkipLines(1), 1);
        EXPECT_EQ(s.LineCut(), cut);
        int steps = 0;
        while (!s.SkipRest(4096)) ++steps;
        // Rests of many steps: 134,465 bytes of the x line, 34,465 NULs of the run.
        EXPECT_EQ(steps > 0, s.LineIndex() == 2 || s.LineIndex() == 4) << s.LineIndex();
    }
    EXPECT_TRUE(r.EndOfLines());
    EXPECT_TRUE(g.EndOfLines());
    EXPECT_TRUE(s.EndOfLines());
    EXPECT_EQ(s.LineIndex(), 6);
}

// Ill-formed UTF-8 decodes as it would whole wherever a block edge or the length
// cap falls inside it: each sequence is placed across the 128-byte edge at every
// offset, and across the cap's mark.
TEST(ViewerStream, IllFormedUtf8AcrossBlockEdgesAndTheCap) {
    const std::string sequences[] = {
        "\xED\xA0\x80", "\xE0\x80\xAF",     "\xF4\x90\x80\x80",
        "\xF0\x9F\x98", "\xE2\x82\xC3\xA9", "\xF0\x9F\x98\x80",
        "\xC0\xAF",     "\x80\xBF\xFF",     "\xF1\x80\x80\xE1\x80\xC2",
    };
    for (const std::string& seq : sequences) {
        for (size_t at = 120; at < 128; ++at) {
            const std::string line = std::string(at, 'a') + seq + seq + "z";
            const std::string bytes = line + "\n" + line;
            TBytesStream stream(bytes);
            TLineReader r(&stream, 128, false);
            EXPECT_EQ(ReadAll(r), (std::vector<std::string>{SanitizeUtf8(line), SanitizeUtf8(line)})) << at;
            // The cap cuts between two characters of the decoded text.
            TBytesStream capped(line);
            TLineReader c(&capped, 128, false);
            c.StreamReader()->SetTruncLineLength(static_cast<int32_t>(at) + 1);
            EXPECT_EQ(ReadAll(c), (std::vector<std::string>{FirstChars(SanitizeUtf8(line), at + 1)})) << at;
        }
    }
}

TEST(ViewerStream, LinesMode) {
    auto* lines = new TStringList();
    for (const char* s : {"one", "two", "three"}) lines->Add(s);
    TLineReader r(lines, true);
    EXPECT_EQ(ReadAll(r), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(r.StreamPosition(), 0);
    EXPECT_EQ(r.StreamSize(), 0);
}

TEST(ViewerStream, PositionAndSize) {
    test::TTempDir dir("viewer-pos");
    const std::string path = dir / "f.txt";
    WriteFile(path, std::string(100000, 'a') + "\n");
    TCachedFileLineReader r(path, 65536, 1024);
    EXPECT_EQ(r.StreamSize(), 100001);
    EXPECT_EQ(r.StreamPosition(), 0);
    r.GotoNextLine();
    EXPECT_GT(r.StreamPosition(), 65535);
    while (!r.EndOfLines()) r.GotoNextLine();
    EXPECT_EQ(r.StreamPosition(), 100001);
}

TEST(ViewerStream, CachedStreamReads) {
    test::TTempDir dir("viewer-cache");
    const std::string path = dir / "f.bin";
    std::string bytes;
    for (int i = 0; i < 1000; ++i) bytes += static_cast<char>(i % 251);
    WriteFile(path, bytes);
    TReadOnlyCachedFileStream s(path, 64);
    std::string buf(300, '\0');
    // A read over several blocks, a read beyond the end, a seek beyond it.
    s.Seek(10, TSeekOrigin::Beginning);
    EXPECT_EQ(s.Read(buf.data(), 300), 300u);
    EXPECT_EQ(buf, bytes.substr(10, 300));
    s.Seek(-5, TSeekOrigin::End);
    EXPECT_EQ(s.Read(buf.data(), 300), 5u);
    EXPECT_EQ(buf.substr(0, 5), bytes.substr(995));
    EXPECT_EQ(s.Seek(2000, TSeekOrigin::Beginning), 2000);
    EXPECT_EQ(s.Read(buf.data(), 10), 0u);
    s.SetViewWindow(100, 50);
    EXPECT_EQ(s.Size(), 50);
    EXPECT_EQ(s.Read(buf.data(), 300), 50u);
    EXPECT_EQ(buf.substr(0, 50), bytes.substr(100, 50));
    s.DisableStreamReadCache();
    s.Seek(0, TSeekOrigin::Beginning);
    EXPECT_EQ(s.Read(buf.data(), 10), 10u);
    EXPECT_EQ(buf.substr(0, 10), bytes.substr(100, 10));
    for (const auto& [start, length] : {std::pair<int64_t, int64_t>{-1, 1}, {0, 1001}, {1000, 1}}) {
        try {
            s.SetViewWindow(start, length);
            ADD_FAILURE() << start;
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), "Invalid view window");
        }
    }
    EXPECT_EQ(s.Size(), 50);
}

// Positions past 2 GiB and 4 GiB: a sparse file of 5 GB, read where it has text.
TEST(ViewerStream, SparseFileBeyond4GiB) {
    test::TTempDir dir("viewer-sparse");
    const std::string path = dir / "sparse.txt";
    const int64_t size = 5'000'000'000;
    const int64_t at4g = (int64_t{1} << 32) + 7;
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        if (::ftruncate(fd, size) != 0 || ::pwrite(fd, "\nfour\nz", 7, at4g - 1) != 7) {
            ::close(fd);
            GTEST_SKIP() << "no sparse files here";
        }
        ::close(fd);
    }
    TReadOnlyCachedFileStream s(path, 0);
    EXPECT_EQ(s.Size(), size);
    s.SetViewWindow(at4g, size - at4g);
    TLineReader r(&s, 1024, false);
    EXPECT_EQ(r.ReadLine(), "four");
    EXPECT_EQ(r.ReadLine(), "z");
    EXPECT_EQ(r.StreamSize(), size - at4g);
    r.GotoNextLine(); // the NUL run up to the end, one line however long
    EXPECT_EQ(r.LineIndex(), 3);
}

TEST(ViewerStream, RefusedFiles) {
    test::TTempDir dir("viewer-refused");
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string Path;
        std::string Message;
    } cases[] = {
        {dir / "missing.csv", "Cannot open " + (dir / "missing.csv") + ".  No such file or directory"},
        {dir.Path().string(), "Cannot open " + dir.Path().string() + ".  Is a directory"},
        {fifo, "Cannot open " + fifo + ".  Not a regular file"},
        {"/dev/null", "Cannot open /dev/null.  Not a regular file"},
    };
    for (const auto& c : cases) {
        for (int plain = 0; plain < 2; ++plain) {
            try {
                if (plain)
                    TLineReader(c.Path, 1024);
                else
                    TCachedFileLineReader(c.Path, 65536, 1024);
                ADD_FAILURE() << c.Path;
            } catch (const EStreamError& e) {
                EXPECT_EQ(e.what(), c.Message);
            }
        }
    }
}

// A file whose reported size is not its length is read to its end: a pseudo-file
// (0 bytes on proc), and a regular file that says 0 bytes and grows once opened.
// A file of known size keeps to it (see FileCutWhileRead).
TEST(ViewerStream, FilesOfUnknownSizeAreReadToTheirEnd) {
    const auto lines = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::vector<std::string> v;
        for (std::string line; std::getline(in, line);) v.push_back(line);
        return v;
    };
    for (const char* path : {"/proc/self/mounts", "/proc/self/limits"}) {
        for (const int32_t cache : {100, 65536}) {
            TReadOnlyCachedFileStream stream(path, cache);
            EXPECT_TRUE(stream.ReadsToEnd()) << path;
            TLineReader r(&stream, 128, false);
            EXPECT_EQ(ReadAll(r), lines(path)) << path << " cache " << cache;
            EXPECT_EQ(stream.Size(), stream.Position()) << path;
        }
    }
    test::TTempDir dir("viewer-unknown");
    const std::string path = dir / "grows.txt";
    WriteFile(path, "");
    TCachedFileLineReader r(path, 16384, 1024);
    std::ofstream(path, std::ios::binary | std::ios::app) << "a\nb\n";
    EXPECT_EQ(ReadAll(r), (std::vector<std::string>{"a", "b"}));
    WriteFile(path, "x\n");
    EXPECT_FALSE(TReadOnlyCachedFileStream(path).ReadsToEnd());
}

// A file cut while it is read is an error, not an early end.
TEST(ViewerStream, FileCutWhileRead) {
    test::TTempDir dir("viewer-cut");
    const std::string path = dir / "f.csv";
    std::string bytes;
    for (int i = 0; i < 20000; ++i) bytes += "line " + std::to_string(i) + "\n";
    WriteFile(path, bytes);
    TCachedFileLineReader r(path, 16384, 1024);
    EXPECT_EQ(r.ReadLine(), "line 0");
    std::filesystem::resize_file(path, 1000);
    try {
        while (!r.EndOfLines()) r.GotoNextLine();
        ADD_FAILURE() << "read to the end";
    } catch (const EStreamError& e) {
        EXPECT_EQ(e.what(), "File " + path + " changed while it was read.");
    }
}

} // namespace
