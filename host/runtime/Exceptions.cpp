#include "qvl/host/runtime/Exceptions.h"

#include "qvl/host/runtime/Component.h"
#include "qvl/host/runtime/RTLConsts.h"

namespace qvl {

std::string Format(const std::string& Fmt, std::initializer_list<std::string> Args) {
  std::string out;
  out.reserve(Fmt.size() + 32);
  auto arg = Args.begin();
  for (std::size_t i = 0; i < Fmt.size(); ++i) {
    char c = Fmt[i];
    if (c == '%' && i + 1 < Fmt.size()) {
      char k = Fmt[i + 1];
      if (k == '%') {
        out += '%';
        ++i;
        continue;
      }
      if (k == 's' || k == 'd') {
        if (arg != Args.end()) out += *arg++;
        ++i;
        continue;
      }
    }
    out += c;
  }
  return out;
}

void Abort() {
  throw EAbort(SOperationAborted);
}

void DatabaseError(const std::string& Message, const TComponent* Component) {
  if (Component != nullptr && !Component->GetName().empty())
    throw EDatabaseError(Component->GetName() + ": " + Message);
  throw EDatabaseError(Message);
}

void DatabaseErrorFmt(const std::string& Fmt, std::initializer_list<std::string> Args,
                      const TComponent* Component) {
  DatabaseError(Format(Fmt, Args), Component);
}

namespace {
TExceptionHandler& Handler() {
  static TExceptionHandler handler;
  return handler;
}
}  // namespace

void SetApplicationExceptionHandler(TExceptionHandler NewHandler) {
  Handler() = std::move(NewHandler);
}

void ApplicationHandleException(const TObject* Sender) {
  std::exception_ptr error = std::current_exception();
  if (!error) return;
  try {
    std::rethrow_exception(error);
  } catch (const EAbort&) {
    return;
  } catch (...) {
  }
  if (Handler()) Handler()(Sender, error);
}

}  // namespace qvl
