// The output pane's text model at the size of 10.0.0.0/12 with ports 1-9
// (9,437,184 lines), appended to twice that: time and memory of each whole-list
// step, its undo, an edit in the middle and reading everything back; then the
// steps a worker does for the window: building a snapshot line by line (a run),
// saving it with each delimiter and shuffling it.
// Run: build/bench/zarvo_line_buffer_bench [--save FILE] (FILE defaults to a
// file in the system's temporary folder)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/LineBuffer.h"
#include "support/ListFile.h"
#include "support/ZarvoRandom.h"

using namespace zarvo;

namespace {

long StatusKb(const char* key) {
    std::ifstream f("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(key);
    while (std::getline(f, line))
        if (line.compare(0, n, key) == 0) return std::stol(line.substr(n + 1));
    return -1;
}

long gPeakKb = 0;

// Starts a new peak: the kernel's high-water mark goes back to the current size.
void ResetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

struct TStep {
    const char* Name;
    std::chrono::steady_clock::time_point Start = std::chrono::steady_clock::now();
    explicit TStep(const char* name) : Name(name) { ResetPeak(); }
    ~TStep() {
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
        const long peak = StatusKb("VmHWM:");
        gPeakKb = std::max(gPeakKb, peak);
        std::printf("%-34s %9.1f ms   RSS %5ld MB   peak %5ld MB\n", Name, ms, StatusKb("VmRSS:") / 1024,
                    peak / 1024);
    }
};

// Calls f with each line of 10.0.0.0/12 with ports 1-9, in the engine's order.
template <typename F> void EachLine(F f) {
    char buf[32];
    for (unsigned a = 0; a < (1u << 20); ++a)
        for (int port = 1; port <= 9; ++port) {
            const int n =
                std::snprintf(buf, sizeof buf, "10.%u.%u.%u:%d", a >> 16, (a >> 8) & 255, a & 255, port);
            f(std::string_view(buf, static_cast<size_t>(n)));
        }
}

// The lines of 10.0.0.0/12 with ports 1-9, in the engine's order.
TStringList MakeLines() {
    TStringList l;
    l.Reserve(size_t{9} << 20, size_t{150} << 20);
    EachLine([&](std::string_view s) { l.Add(s); });
    return l;
}

double Ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

// What the window's workers do: a run's lines into a builder (the engine hands them
// over in chunks of 65536), Save with each delimiter, Shuffle, an appending run.
void WorkerSteps(const std::string& saveTo) {
    std::printf("--- worker steps ---\n");
    TLineSnapshot shown;
    {
        TStep s("build 9,437,184 lines (builder)");
        TLineSnapshotBuilder b;
        TStringList chunk;
        EachLine([&](std::string_view l) {
            chunk.Add(l);
            if (chunk.Count() == 65536) {
                b.AddLines(chunk);
                chunk.ClearKeepCapacity();
            }
        });
        b.AddLines(chunk);
        std::printf("  builder MemoryBytes %zu MB before Finish\n", b.MemoryBytes() >> 20);
        shown = b.Finish();
    }
    std::printf("  lines %zu, MemoryBytes %zu MB, RSS %ld MB\n", shown.LineCount(), shown.MemoryBytes() >> 20,
                StatusKb("VmRSS:") / 1024);
    const struct {
        const char* Name;
        TListDelimiter D;
    } delimiters[] = {
        {"save End-Of-Line", ldEndOfLine}, {"save Comma", ldComma}, {"save Semicolon", ldSemicolon}};
    for (const auto& d : delimiters) {
        size_t calls = 0;
        TStep s(d.Name);
        SaveLinesToFile(shown, saveTo, ListDelimiter(d.D), [&](size_t, size_t) { return ++calls, true; });
        std::printf("  (%zu progress calls) ", calls);
    }
    std::remove(saveTo.c_str());
    {
        TStep s("Shuffled (9.4 million, with progress)");
        Randomize();
        size_t calls = 0;
        const TLineSnapshot shuffled = shown.Shuffled([&](size_t, size_t) { return ++calls, true; });
        std::printf("  (%zu progress calls) ", calls);
    }
    {
        TStep s("build appended to 18.9 million");
        TLineSnapshotBuilder b(shown);
        EachLine([&](std::string_view l) { b.Add(l); });
        shown = b.Finish();
    }
    std::printf("  lines %zu, MemoryBytes %zu MB, RSS %ld MB\n", shown.LineCount(), shown.MemoryBytes() >> 20,
                StatusKb("VmRSS:") / 1024);
    const auto t = std::chrono::steady_clock::now();
    shown = TLineSnapshot();
    std::printf("drop it: %.1f ms\n", Ms(t));
}

} // namespace

int main(int argc, char** argv) {
    const char* saveArg = argc > 2 && std::strcmp(argv[1], "--save") == 0 ? argv[2] : nullptr;
    const std::string saveTo =
        saveArg ? saveArg : (std::filesystem::temp_directory_path() / "zarvo-bench.txt").string();
    WorkerSteps(saveTo);
    std::printf("--- the buffer ---\n");
    TStringList lines;
    {
        TStep s("make 9,437,184 lines (TStringList)");
        lines = MakeLines();
    }
    TLineBuffer b;
    {
        TStep s("SetLines");
        b.SetLines(lines);
    }
    std::printf("  lines %zu, model %zu MB\n", b.LineCount(), b.Snapshot().MemoryBytes() >> 20);
    {
        TStep s("AppendLines to 18.9 million");
        b.AppendLines(lines);
    }
    std::printf("  lines %zu, model %zu MB, history %zu MB\n", b.LineCount(),
                b.Snapshot().MemoryBytes() >> 20, b.HistoryBytes() >> 20);
    {
        TStep s("free the TStringList");
        lines = TStringList();
    }
    {
        TStep s("type a character in the middle");
        b.Insert({b.RowCount() / 2, 3}, "x", TEditKind::Typing);
    }
    {
        TStep s("undo it");
        b.Undo();
    }
    {
        TStep s("Shuffle (18.9 million)");
        Randomize();
        b.Shuffle();
    }
    std::printf("  history %zu MB\n", b.HistoryBytes() >> 20);
    {
        TStep s("undo Shuffle");
        b.Undo();
    }
    {
        TStep s("undo AppendLines");
        b.Undo();
    }
    std::printf("  lines %zu, history %zu MB\n", b.LineCount(), b.HistoryBytes() >> 20);
    {
        TStep s("Shuffle snapshot (9.4 million)");
        const TLineSnapshot base = b.Snapshot();
        b.Commit(base, base.Shuffled());
    }
    {
        TStep s("undo Shuffle");
        b.Undo();
    }
    size_t bytes = 0;
    {
        TStep s("Text of everything, streamed");
        b.Snapshot().TextPieces({{}, b.End()}, [&](std::string_view p) { bytes += p.size(); });
    }
    {
        TStep s("Text of everything, one string");
        bytes = b.Text().size();
    }
    std::printf("  %zu bytes of text\n", bytes);
    {
        TStep s("save with CR LF (ForEachLine)");
        TListFileWriter w(saveTo, "\r\n");
        b.Snapshot().ForEachLine([&](std::string_view l) { w.WriteLine(l); });
        w.Close();
    }
    std::remove(saveTo.c_str());
    {
        TStep s("Clear");
        b.Clear();
    }
    {
        TStep s("undo Clear");
        b.Undo();
    }
    {
        TStep s("undo SetLines");
        b.Undo();
    }
    std::printf("lines %zu; peak of the whole run: %ld MB\n", b.LineCount(), gPeakKb / 1024);
}
