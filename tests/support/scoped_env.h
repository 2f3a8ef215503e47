// Sets an environment variable for the lifetime of the object (unset when value is null).
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace loric::test {

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* previous = std::getenv(name)) previous_ = previous;
        Set(value);
    }
    ~ScopedEnv() { Set(previous_ ? previous_->c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void Set(const char* value) {
        value ? setenv(name_.c_str(), value, 1) : unsetenv(name_.c_str());
    }
    std::string name_;
    std::optional<std::string> previous_;
};

}  // namespace loric::test
