#pragma once

// Helpers for tests that save a workbook and have it read back by tests/export/check_workbook.py
// (python3 with openpyxl), an independent reader. On Linux the test runs the reader itself; the
// Windows tests run under Wine and cannot start the host's python3, so they leave the workbook
// and what it should hold in a folder that a later test on the host reads back.

#ifndef _WIN32
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/portable.h"

namespace tavex::workbook_check {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        static int count = 0;
        const std::string test =
            ::testing::UnitTest::GetInstance()->current_test_info()
                ? ::testing::UnitTest::GetInstance()->current_test_info()->name()
                : "none";
        path_ = fs::temp_directory_path() /
                ("tavex-workbook-" + test + "-" + std::to_string(testing_support::ProcessId()) +
                 "-" + std::to_string(++count));
        std::error_code error;
        fs::remove_all(path_, error);
        if (!fs::create_directory(path_, error)) throw std::runtime_error("no temporary folder");
    }
    // TAVEX_KEEP_WORKBOOKS=1 keeps the saved files for a look with a spreadsheet program.
    ~TempDir() {
        if (std::getenv("TAVEX_KEEP_WORKBOOKS") != nullptr) {
            std::printf("kept %s\n", path_.string().c_str());
            return;
        }
        std::error_code error;
        fs::remove_all(path_, error);
    }
    fs::path operator/(const std::string& name) const { return path_ / name; }
    const fs::path& path() const { return path_; }
    std::set<std::string> Entries() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(path_)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

private:
    fs::path path_;
};

inline std::string Json(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

inline std::string Joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : ",\n") + item;
    return out;
}

#ifndef _WIN32
inline int Run(const std::string& command, std::string* output) {
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output->append(buffer, n);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A python3 that has openpyxl: $TAVEX_PYTHON, the one CMake found, the first on PATH or the
// system one, whichever first can import it.
inline std::string FindPython() {
    std::vector<std::string> candidates;
    if (const char* chosen = std::getenv("TAVEX_PYTHON")) candidates.push_back(chosen);
#ifdef TAVEX_PYTHON3
    candidates.push_back(TAVEX_PYTHON3);  // the one CMake found
#endif
    if (const char* path = std::getenv("PATH")) {
        std::stringstream dirs(path);
        for (std::string dir; std::getline(dirs, dir, ':');) {
            if (!dir.empty()) candidates.push_back(dir + "/python3");
        }
    }
    candidates.push_back("/usr/bin/python3");
    for (const std::string& candidate : candidates) {
        std::string ignored;
        if (::access(candidate.c_str(), X_OK) == 0 &&
            Run(Quoted(candidate) + " -c 'import openpyxl'", &ignored) == 0) {
            return candidate;
        }
    }
    return {};
}

// $TAVEX_CHECK_WORKBOOK, else the checker in the test sources.
inline std::string CheckerScript() {
    if (const char* chosen = std::getenv("TAVEX_CHECK_WORKBOOK")) return chosen;
#ifdef TAVEX_TEST_SOURCE_DIR
    return TAVEX_TEST_SOURCE_DIR "/export/check_workbook.py";
#else
    return (fs::path(__FILE__).parent_path() / "check_workbook.py").string();
#endif
}

inline void ExpectWorkbookMatches(const fs::path& file, const std::string& expectations,
                                  const TempDir& dir) {
    const fs::path json = dir / "expected.json";
    std::ofstream(json) << expectations;
    const std::string python = FindPython();
    ASSERT_FALSE(python.empty()) << "no python3 with openpyxl (set TAVEX_PYTHON)";
    std::string output;
    const int status = Run(Quoted(python) + " " + Quoted(CheckerScript()) + " " +
                               Quoted(file.string()) + " " + Quoted(json.string()),
                           &output);
    EXPECT_EQ(status, 0) << output;
}
#else
inline void ExpectWorkbookMatches(const fs::path& file, const std::string& expectations,
                                  const TempDir&) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const fs::path pending = fs::path(TAVEX_WORKBOOK_CHECKS) /
                             (std::string(test->test_suite_name()) + "." + test->name());
    std::error_code error;
    fs::create_directories(fs::path(TAVEX_WORKBOOK_CHECKS), error);
    ASSERT_TRUE(fs::copy_file(file, fs::path(pending.string() + ".xlsx"),
                              fs::copy_options::overwrite_existing, error))
        << error.message();
    std::ofstream(fs::path(pending.string() + ".json"), std::ios::binary) << expectations;
}
#endif

}  // namespace tavex::workbook_check
