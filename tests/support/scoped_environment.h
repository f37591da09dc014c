// An environment variable set (or, for nullptr, unset) for the life of a
// scope, and put back as it was afterwards: the one way a test changes the
// environment it runs in.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace test_support {

class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const char* value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) previous_ = old;
        set(value);
    }
    ScopedEnvironment(std::string name, const std::string& value) : ScopedEnvironment(std::move(name), value.c_str()) {}
    ~ScopedEnvironment() { set(previous_ ? previous_->c_str() : nullptr); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    // Another value for the rest of the scope; what is put back stays the
    // value from before the scope.
    void set(const char* value) {
        if (value) ::setenv(name_.c_str(), value, 1);
        else ::unsetenv(name_.c_str());
    }
    void set(const std::string& value) { set(value.c_str()); }
    // The value from before the scope; nothing when it was unset.
    const std::optional<std::string>& previous() const { return previous_; }

private:
    std::string name_;
    std::optional<std::string> previous_;
};

// PATH with `folder` in front, for a stand-in that must be found before the
// real program of its name.
inline std::string PathWithFirst(const std::string& folder) {
    const char* path = std::getenv("PATH");
    return folder + ":" + (path ? path : "");
}

}  // namespace test_support
