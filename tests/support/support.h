// Helpers shared by all tests: temporary directories, files, environment,
// child processes. Platform details stay in support.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// A fresh directory removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The directory with its trailing separator, as the platform writes it.
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + name; }

private:
    std::string m_path;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
void CopyFileBytes(const std::string& from, const std::string& to);
// Lines of a text file, without their line feeds.
std::vector<std::string> ReadLines(const std::string& path);

// Sets (or with a null value removes) an environment variable for the guard's lifetime.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::string m_old;
    bool m_had;
};

// A host path as the platform's file functions take it (a Wine drive path under Wine).
std::string PlatformPath(const std::string& hostPath);

// This test program's own file, for running it again as a child process.
std::string SelfPath();

// A child process running `program` with `args`; Wait gives its exit code.
class Child {
public:
    Child(const std::string& program, const std::vector<std::string>& args);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int Wait();
    void Kill();
    uint32_t Pid() const;
    bool Started() const;

private:
    struct Impl;
    Impl* m_impl;
};

// Runs this test program again with only `test` selected (a gtest filter) and
// `role` in QVTR_CHILD_ROLE; the child sees that role via ChildRole().
std::vector<std::string> ChildArgs(const std::string& test);
const char* ChildRole();

}  // namespace testing_support
