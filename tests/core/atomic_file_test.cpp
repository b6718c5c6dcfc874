// The atomic file writer: the target is replaced whole by Commit or not at all.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include "support/AtomicFile.h"
#include "support/ZarvoText.h"
#include "test_files.h"

namespace fs = std::filesystem;
using namespace zarvo;

namespace {

class AtomicFile : public ::testing::Test {
protected:
    static void Put(const fs::path& p, const std::string& bytes) {
        std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
    }
    static std::optional<std::string> Get(const fs::path& p) {
        std::error_code ec;
        if (!fs::is_regular_file(p, ec)) return std::nullopt;
        std::ifstream f(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    test::TTempDir temp{"atomic"};
    const fs::path dir = temp.Path();
};

mode_t Umask() {
    const mode_t m = ::umask(0);
    ::umask(m);
    return m;
}

mode_t ModeOf(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST_F(AtomicFile, ReplacedWholeOrNotAtAll) {
    // Written in pieces around the buffer size, so that some reach the file early.
    const std::vector<std::string> pieces = {"new ", std::string((1 << 20) + 7, 'x'), "end"};
    std::string written;
    for (const std::string& p : pieces) written += p;

    struct Case {
        const char* what;
        std::function<void(const fs::path& dir)> prepare = [](const fs::path&) {}; // target: dir/"f.txt"
        bool commit = false;
        std::optional<std::string> after = std::nullopt; // the target's bytes at the end; nullopt: no file
        std::vector<std::string> entries = {};           // the folder at the end: no temporary file left
        bool fails = false;                              // "Cannot create file "<target>". ..."
        mode_t mode = 0;                                 // the target's permission bits, when set
        bool link = false;                               // the target stays a symbolic link
        bool needsNonRoot = false;                       // root writes into read-only folders
    };
    const mode_t created = 0666 & ~Umask();
    const Case cases[] = {
        {.what = "a new file", .commit = true, .after = written, .entries = {"f.txt"}, .mode = created},
        {.what = "an old file replaced",
         .prepare = [](const fs::path& d) { Put(d / "f.txt", "old"); },
         .commit = true,
         .after = written,
         .entries = {"f.txt"}},
        {.what = "no commit: the old file stays",
         .prepare = [](const fs::path& d) { Put(d / "f.txt", "old"); },
         .after = "old",
         .entries = {"f.txt"}},
        {.what = "no commit: no new file"},
        {.what = "permissions kept",
         .prepare =
             [](const fs::path& d) {
                 Put(d / "f.txt", "old");
                 ::chmod((d / "f.txt").c_str(), 0640);
             },
         .commit = true,
         .after = written,
         .entries = {"f.txt"},
         .mode = 0640},
        {.what = "a link is followed and stays a link",
         .prepare =
             [](const fs::path& d) {
                 Put(d / "real.txt", "old");
                 ::chmod((d / "real.txt").c_str(), 0600);
                 fs::create_symlink("real.txt", d / "f.txt");
             },
         .commit = true,
         .after = written,
         .entries = {"f.txt", "real.txt"},
         .mode = 0600,
         .link = true},
        {.what = "a link to no file yet creates the file",
         .prepare = [](const fs::path& d) { fs::create_symlink("real.txt", d / "f.txt"); },
         .commit = true,
         .after = written,
         .entries = {"f.txt", "real.txt"},
         .mode = created,
         .link = true},
        {.what = "a read-only folder",
         .prepare =
             [](const fs::path& d) {
                 Put(d / "f.txt", "old");
                 ::chmod(d.c_str(), 0500);
             },
         .commit = true,
         .after = "old",
         .entries = {"f.txt"},
         .fails = true,
         .needsNonRoot = true},
        {.what = "a loop of links",
         .prepare =
             [](const fs::path& d) {
                 fs::create_symlink("g.txt", d / "f.txt");
                 fs::create_symlink("f.txt", d / "g.txt");
             },
         .commit = true,
         .entries = {"f.txt", "g.txt"},
         .fails = true,
         .link = true},
        {.what = "a folder in the file's place",
         .prepare = [](const fs::path& d) { fs::create_directories(d / "f.txt" / "inside"); },
         .commit = true,
         .entries = {"f.txt"},
         .fails = true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsNonRoot && ::geteuid() == 0) continue;
        fs::remove_all(dir);
        fs::create_directory(dir);
        c.prepare(dir);
        const fs::path target = dir / "f.txt";
        std::string message;
        try {
            TAtomicFileWriter w(target.string());
            for (const std::string& p : pieces) w.Write(p);
            if (c.commit) w.Commit();
        } catch (const Exception& e) {
            message = e.what();
        }
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
        if (c.fails) {
            EXPECT_EQ(message.rfind("Cannot create file \"" + target.string() + "\". ", 0), 0u) << message;
        } else {
            EXPECT_EQ(message, "");
        }
        EXPECT_EQ(Get(target), c.after);
        EXPECT_EQ(Entries(), c.entries);
        if (c.mode) {
            EXPECT_EQ(ModeOf(target), c.mode);
        }
        EXPECT_EQ(fs::is_symlink(target), c.link);
    }
}

TEST_F(AtomicFile, AWriteThatFailsMidwayLeavesTheOldFileAndNoTemporaryFile) {
    const fs::path target = dir / "f.txt";
    Put(target, "old");
    // A file size limit makes the write fail part way, as a full disk would.
    std::string message;
    try {
        const test::TFileSizeLimit limit(4096);
        TAtomicFileWriter w(target.string());
        w.Write(std::string(1 << 20, 'x'));
        w.Commit();
    } catch (const Exception& e) {
        message = e.what();
    }
    EXPECT_EQ(message, "Cannot create file \"" + target.string() + "\". " + std::strerror(EFBIG));
    EXPECT_EQ(Get(target), "old");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"f.txt"}));
}

TEST_F(AtomicFile, APipeIsWrittenInPlace) {
    const fs::path fifo = dir / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    TAtomicFileWriter w(fifo.string());
    w.Write("a,b");
    w.Commit();
    char buf[16] = {};
    EXPECT_EQ(::read(reader, buf, sizeof buf), 3);
    ::close(reader);
    EXPECT_STREQ(buf, "a,b");
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(Entries(), (std::vector<std::string>{"pipe"}));
}

// What a program that installed RemoveTemporaryFilesOnTermination leaves when SIGINT
// or SIGTERM ends it: many writers came and went before (committed, or dropped), two
// are open. Run in a child process, which the signal ends.
void WriteAndSignal(const fs::path& dir, int sig, bool otherThread) {
    RemoveTemporaryFilesOnTermination();
    // More writers than the handlers have places: each gives its place back.
    for (int i = 0; i < 40; ++i) {
        TAtomicFileWriter dropped((dir / "dropped").string());
        dropped.Write("x");
    }
    for (int i = 0; i < 3; ++i) {
        TAtomicFileWriter done((dir / "committed").string());
        done.Write(std::to_string(i));
        done.Commit();
    }
    TAtomicFileWriter kept((dir / "kept").string());
    kept.Write("new");
    TAtomicFileWriter fresh((dir / "fresh").string());
    fresh.Write("new");
    if (otherThread) {
        // The signal can find only the other thread.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, sig);
        ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
        std::thread([&set, sig] {
            ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
            ::raise(sig);
        }).join();
    } else {
        ::raise(sig);
    }
    // An ignored signal: the run goes on to its end.
    kept.Commit();
    fresh.Commit();
    std::_Exit(0);
}

TEST_F(AtomicFile, ASignalRemovesTheTemporaryFilesOfTheOpenWriters) {
    struct Case {
        int Signal;
        bool OtherThread, Ignored;
    };
    const Case cases[] = {{SIGINT, false, false}, {SIGTERM, false, false}, {SIGINT, true, false},
                          {SIGTERM, true, false}, {SIGINT, false, true},   {SIGTERM, false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.Signal)) + (c.OtherThread ? ", another thread" : "") +
                     (c.Ignored ? ", ignored" : ""));
        for (const std::string& name : Entries()) fs::remove(dir / name);
        Put(dir / "kept", "old");
        // A signal the program was started with ignored (a background job) stays so.
        const auto saved = ::signal(c.Signal, c.Ignored ? SIG_IGN : SIG_DFL);
        if (c.Ignored) {
            EXPECT_EXIT(WriteAndSignal(dir, c.Signal, c.OtherThread), ::testing::ExitedWithCode(0), "");
            EXPECT_EQ(Entries(), (std::vector<std::string>{"committed", "fresh", "kept"}));
            EXPECT_EQ(Get(dir / "kept"), "new");
        } else {
            EXPECT_EXIT(WriteAndSignal(dir, c.Signal, c.OtherThread), ::testing::KilledBySignal(c.Signal),
                        "");
            EXPECT_EQ(Entries(), (std::vector<std::string>{"committed", "kept"}));
            EXPECT_EQ(Get(dir / "kept"), "old");
        }
        EXPECT_EQ(Get(dir / "committed"), "2");
        ::signal(c.Signal, saved);
    }
}

} // namespace
