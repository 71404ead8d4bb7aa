#pragma once
// The host runtime's exception hierarchy.
//
//   Exception            root of every error the library raises
//   +- EAbort            the silent abort: Abort() raises it, handlers ignore it
//   +- EDatabaseError    data-access errors, raised through DatabaseError()
//   +- EVariantError     a variant value that cannot be converted
//   +- EInvalidCast      a class-checking cast that failed
//   +- EConvertError     text that is not a number or a date
//   +- EComponentError   component model misuse (duplicate names...)
//   +- EStreamError      stream reads and writes that cannot be completed
//   +- EListError        an index outside a list
//
// Format() understands %s, %d and %% and takes its arguments as text.

#include <exception>
#include <functional>
#include <initializer_list>
#include <string>

#pragma GCC visibility push(default)

namespace qvl {

class TComponent;
class TObject;

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  const char* what() const noexcept override { return FMessage.c_str(); }
  const std::string& Message() const noexcept { return FMessage; }
  void SetMessage(std::string message) { FMessage = std::move(message); }

 private:
  std::string FMessage;
};

class EAbort : public Exception {
 public:
  using Exception::Exception;
};

class EDatabaseError : public Exception {
 public:
  using Exception::Exception;
};

class EVariantError : public Exception {
 public:
  using Exception::Exception;
};

class EInvalidCast : public Exception {
 public:
  using Exception::Exception;
};

class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

class EComponentError : public Exception {
 public:
  using Exception::Exception;
};

class EStreamError : public Exception {
 public:
  using Exception::Exception;
};

class EListError : public Exception {
 public:
  using Exception::Exception;
};

// Replaces each %s or %d of Fmt by the next argument; %% writes one %.
std::string Format(const std::string& Fmt, std::initializer_list<std::string> Args);

// Raises the silent EAbort.
[[noreturn]] void Abort();

// Raises EDatabaseError. With a named component the message reads
// "Name: message", so that the application can tell which dataset failed.
[[noreturn]] void DatabaseError(const std::string& Message, const TComponent* Component = nullptr);
[[noreturn]] void DatabaseErrorFmt(const std::string& Fmt, std::initializer_list<std::string> Args,
                                   const TComponent* Component = nullptr);

// The application's exception handler. Call ApplicationHandleException from
// inside a catch block: it hands the exception in flight to the installed
// handler, or drops it when none is installed. EAbort is always dropped.
using TExceptionHandler = std::function<void(const TObject* Sender, std::exception_ptr Error)>;
void SetApplicationExceptionHandler(TExceptionHandler Handler);
void ApplicationHandleException(const TObject* Sender);

}  // namespace qvl

#pragma GCC visibility pop
