#pragma once
// A fresh directory under the system's temporary directory for one test (both systems).

#include <chrono>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

inline std::filesystem::path MakeTestTempDir(const std::string& strPrefix) {
    std::random_device rd;
    std::mt19937_64 gen(rd() ^ static_cast<unsigned long long>(
                                    std::chrono::steady_clock::now().time_since_epoch().count()));
    const auto base = std::filesystem::temp_directory_path();
    for (int i = 0; i < 100; ++i) {
        const auto dir = base / (strPrefix + std::to_string(gen() % 1000000000ULL));
        std::error_code ec;
        if (std::filesystem::create_directory(dir, ec))
            return dir;
    }
    throw std::runtime_error("no temporary directory could be made");
}
