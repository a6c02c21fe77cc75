// The framework's exception hierarchy.
//
// Every error of the daemon is an exception derived from OFWException, which
// derives from std::exception. Base_Exception carries the message, the name of
// the exception type, an integer code and the source file and line where it was
// raised. When asked at construction it logs itself on the logger "util.except"
// at DEBUG (never for EndOfFileException).
//
// Three types must also be catchable as standard exceptions of a specific kind
// (BadAllocException as std::bad_alloc, NoThreadsAvailable as
// std::runtime_error, BufferFullException as std::out_of_range). Deriving them
// from both OFWException and the standard type would give them two
// std::exception bases, and a handler for std::exception would then silently
// not match; they derive from the standard type and carry the same details
// through ExceptionDetails instead.
#pragma once
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

namespace ofw {

// Message, type name, code and origin shared by every framework exception.
class ExceptionDetails {
 public:
  ExceptionDetails(std::string message, const char* typeName, int code, const char* file, int line)
      : message_(std::move(message)), typeName_(typeName ? typeName : ""), code_(code),
        file_(file ? file : ""), line_(line) {}
  const std::string& message() const { return message_; }
  const std::string& typeName() const { return typeName_; }
  int code() const { return code_; }
  const std::string& file() const { return file_; }
  int line() const { return line_; }

 protected:
  // Logs "%s %s (reference %s:%d rc: %d)" on "util.except" at DEBUG.
  void logSelf() const;

 private:
  std::string message_;
  std::string typeName_;
  int code_;
  std::string file_;
  int line_;
};

class OFWException : public std::exception {
 public:
  ~OFWException() override = default;
};

class Base_Exception : public OFWException, public ExceptionDetails {
 public:
  Base_Exception(const std::string& message, const char* typeName = "Base_Exception", int code = 0,
                 const char* file = nullptr, int line = 0, bool log = false);
  const char* what() const noexcept override { return message().c_str(); }
};

#define OFW_DECLARE_EXCEPTION(Name)                                                         \
  class Name : public Base_Exception {                                                      \
   public:                                                                                  \
    explicit Name(const std::string& message, int code = 0, const char* file = nullptr,     \
                  int line = 0, bool log = false)                                           \
        : Base_Exception(message, #Name, code, file, line, log) {}                          \
  }

OFW_DECLARE_EXCEPTION(SystemException);
OFW_DECLARE_EXCEPTION(NotFoundException);
OFW_DECLARE_EXCEPTION(IOException);
OFW_DECLARE_EXCEPTION(AlreadyException);
OFW_DECLARE_EXCEPTION(FatalErrorException);
OFW_DECLARE_EXCEPTION(KerberosException);
OFW_DECLARE_EXCEPTION(BadDataException);
OFW_DECLARE_EXCEPTION(CapiException);
OFW_DECLARE_EXCEPTION(TryAgainException);
OFW_DECLARE_EXCEPTION(QueueInterrupted);
OFW_DECLARE_EXCEPTION(InvalidArgumentException);
OFW_DECLARE_EXCEPTION(TimeoutException);

// Never logs itself, even when asked: end of file is an ordinary outcome.
class EndOfFileException : public Base_Exception {
 public:
  explicit EndOfFileException(const std::string& message, int code = 0, const char* file = nullptr,
                              int line = 0, bool = false)
      : Base_Exception(message, "EndOfFileException", code, file, line, false) {}
};

class BadAllocException : public std::bad_alloc, public ExceptionDetails {
 public:
  explicit BadAllocException(const std::string& message, int code = 0, const char* file = nullptr,
                             int line = 0, bool log = false);
  const char* what() const noexcept override { return message().c_str(); }
};

class NoThreadsAvailable : public std::runtime_error, public ExceptionDetails {
 public:
  explicit NoThreadsAvailable(const std::string& message, int code = 0, const char* file = nullptr,
                              int line = 0, bool log = false);
};

class BufferFullException : public std::out_of_range, public ExceptionDetails {
 public:
  explicit BufferFullException(const std::string& message, int code = 0, const char* file = nullptr,
                               int line = 0, bool log = false);
};

// "text: <system error text>" as every exception built from a system error reads.
std::string withErrno(const std::string& text, int err);

}  // namespace ofw

// Exceptions outside the framework namespace, named as the rest of the system names them.
class ClientException : public ofw::Base_Exception {
 public:
  explicit ClientException(const std::string& message, int code = 0, const char* file = nullptr,
                           int line = 0, bool log = false)
      : ofw::Base_Exception(message, "ClientException", code, file, line, log) {}
};

// Raise an exception of Type with the current source position.
#define OFW_THROW(Type, ...) throw Type(__VA_ARGS__, 0, __FILE__, __LINE__)
#define OFW_THROW_CODE(Type, msg, code) throw Type((msg), (code), __FILE__, __LINE__)
