// libFuzzer target: parse and build macro SQL with random markers and macro
// lists.
//
// Input layout: byte 0 is a mode (bit 0: the next two bytes are the
// parameter and macro markers; bit 1: build without a caller list), then the
// text up to the first 0x1E byte, then macro lines separated by LF; a line
// starting with '+' goes to the processor's own list, any other to the
// caller's.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "qvl/host/dataset/Params.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/macrosql/QVLMacroSQL.h"
#include "qvl/sql/QVLSQLProcessor.h"

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

void CheckPosition(const qvl::EQVLMacroSQLError& E) {
  Check(E.GetLine() >= 1 && E.GetColumn() >= 1);
  Check(std::string_view(E.what()).substr(0, E.GetErrorText().size()) == E.GetErrorText());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  std::string_view in(reinterpret_cast<const char*>(Data), Size);
  qvl::TQVLSQLProcessor processor(nullptr);
  unsigned mode = 0;
  if (!in.empty()) {
    mode = static_cast<unsigned char>(in[0]);
    in.remove_prefix(1);
  }
  if ((mode & 1) != 0 && in.size() >= 2) {
    processor.SetParamChar(in[0]);
    processor.SetMacroChar(in[1]);
    in.remove_prefix(2);
  }
  const std::size_t separator = in.find('\x1E');
  const std::string_view text = in.substr(0, separator);
  qvl::TStringList macros;
  if (separator != std::string_view::npos) {
    std::string_view rest = in.substr(separator + 1);
    for (;;) {
      const std::size_t lf = rest.find('\n');
      const std::string_view line = rest.substr(0, lf);
      if (!line.empty() && line[0] == '+')
        processor.GetMacros().Add(std::string(line.substr(1)));
      else
        macros.Add(std::string(line));
      if (lf == std::string_view::npos) break;
      rest.remove_prefix(lf + 1);
    }
  }

  std::unique_ptr<qvl::TQVLMacroSQLElement> tree;
  try {
    tree = processor.Parse(text);
  } catch (const qvl::EQVLMacroSQLError& e) {
    CheckPosition(e);
    return 0;
  }
  qvl::TParams params;
  std::string sql;
  try {
    sql = processor.Build(*tree, (mode & 2) != 0 ? nullptr : &macros, &params);
  } catch (const qvl::EQVLMacroSQLError& e) {
    CheckPosition(e);
    return 0;
  }

  // Without any marker the text comes back unchanged, up to its first NUL.
  const std::string_view visible = text.substr(0, text.find('\0'));
  if (visible.find(processor.GetParamChar()) == std::string_view::npos &&
      visible.find(processor.GetMacroChar()) == std::string_view::npos &&
      visible.find('#') == std::string_view::npos) {
    Check(sql == visible);
    Check(params.Count() == 0);
  }
  return 0;
}
