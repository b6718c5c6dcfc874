// Loads a settings file as the window does at start and saves it again as the
// window does at close, printing the time of each step.
// Usage: zarvo_settings_bench FILE [SAVED_FILE]
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "options/ZarvoSettings.h"

using namespace zarvo;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "Usage: %s FILE [SAVED_FILE]\n", argv[0]);
        return 2;
    }
    const std::string saved =
        argc > 2 ? argv[2] : (std::filesystem::temp_directory_path() / "zarvo-bench.ini").string();
    using Clock = std::chrono::steady_clock;
    auto seconds = [](Clock::time_point a, Clock::time_point b) {
        return std::chrono::duration<double>(b - a).count();
    };
    try {
        const Clock::time_point t0 = Clock::now();
        TZarvoOptions o;
        TStoredSettingsList sets;
        LoadSettingsFile(argv[1], o, sets);
        const Clock::time_point t1 = Clock::now();
        SaveSettingsFile(saved, o, sets);
        const Clock::time_point t2 = Clock::now();
        std::printf("%zu sets: load %.3f s, save %.3f s\n", sets.Count(), seconds(t0, t1), seconds(t1, t2));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    if (argc <= 2) std::filesystem::remove(saved);
    return 0;
}
