// The reporter's own exception class, for the few places where it must raise
// and nothing else can be assumed to work.
#pragma once

#include <exception>
#include <string>

namespace crashreport {

class ZelException : public std::exception {
public:
    explicit ZelException(std::string message) : Message(std::move(message)) {}
    const char* what() const noexcept override { return Message.c_str(); }

    std::string Message;
};

inline ZelException NewZelException(std::string message) { return ZelException(std::move(message)); }

}  // namespace crashreport
