// A value or an error message, for the parts of the C++ API that can fail.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace imabox {

struct Error {
    std::string message;  // the same text the console shows after "ERROR: "
};

template <class T>
class [[nodiscard]] Expected {
  public:
    Expected(T value) : content_(std::move(value)) {}
    Expected(Error error) : content_(std::move(error)) {}

    bool ok() const { return content_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(content_); }
    const T& value() const& { return std::get<0>(content_); }
    T&& value() && { return std::get<0>(std::move(content_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const Error& error() const { return std::get<1>(content_); }

  private:
    std::variant<T, Error> content_;
};

}  // namespace imabox
