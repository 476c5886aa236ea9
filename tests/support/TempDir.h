#pragma once

#include <string>

namespace testsupport {

//! A fresh folder under the system's temporary folder, removed with everything in it at the end of the scope.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    //! The folder, ending with "/".
    const std::string& path() const { return m_path; }
    //! path() + name.
    std::string file(const std::string& name) const { return m_path + name; }

private:
    std::string m_path;
};

//! Writes the bytes as they are; returns the path.
std::string writeBytes(const std::string& path, const std::string& bytes);
//! The file's bytes, "" when it cannot be read.
std::string readBytes(const std::string& path);
//! True when the path exists.
bool exists(const std::string& path);

//! Runs the rest of the scope in another working directory.
class ScopedCwd
{
public:
    explicit ScopedCwd(const std::string& dir);
    ~ScopedCwd();
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

private:
    std::string m_old;
};

} // namespace testsupport
