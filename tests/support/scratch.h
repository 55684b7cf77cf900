// A private scratch directory per test, removed afterwards, and helpers to
// point kiv's environment at it.
#pragma once

#include <string>

namespace testsupport {

class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Sets (or, with nullptr, unsets) an environment variable for the rest of
// the test and restores the old value when destroyed.
class EnvVar {
  public:
    EnvVar(const char* name, const char* value);
    ~EnvVar();
    EnvVar(const EnvVar&) = delete;
    EnvVar& operator=(const EnvVar&) = delete;

  private:
    std::string name_;
    bool had_;
    std::string old_;
};

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
bool exists(const std::string& path);

}  // namespace testsupport
