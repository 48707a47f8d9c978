// Scoped test fixtures shared by the test executables: a temporary folder and an environment
// variable, each undone when it goes out of scope.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "support/NoCopy.h"

namespace test {

/// A fresh folder under the system's temporary directory, removed with everything in it.
class TempDir : test::NoCopy {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "pyr_test_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed for " + pattern);
        }
        path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }

    const std::filesystem::path& Path() const { return path; }
    std::filesystem::path operator/(const std::string& name) const { return path / name; }

private:
    std::filesystem::path path;
};

/// Sets (or, with a null value, clears) an environment variable for the scope, and puts back
/// what was there before.
class ScopedEnv : test::NoCopy {
public:
    ScopedEnv(const char* variable, const char* value) : name(variable) {
        if (const char* old = std::getenv(variable)) {
            had = true;
            previous = old;
        }
        if (value != nullptr) {
            setenv(variable, value, 1);
        } else {
            unsetenv(variable);
        }
    }
    ~ScopedEnv() {
        if (had) {
            setenv(name.c_str(), previous.c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }

private:
    std::string name;
    bool had = false;
    std::string previous;
};

}  // namespace test
