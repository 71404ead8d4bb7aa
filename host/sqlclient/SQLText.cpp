#include "qvl/host/sqlclient/SQLText.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "qvl/host/dataset/Params.h"
#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/host/sqlclient/SQLConsts.h"

namespace qvl {

namespace {

bool IdentChar(char C) {
  auto u = static_cast<unsigned char>(C);
  return std::isalnum(u) || C == '_' || u >= 0x80;
}

bool IdentStart(char C) {
  return IdentChar(C) && !std::isdigit(static_cast<unsigned char>(C));
}

// The text of a quoted name without its quotes, doubled quotes made single.
std::string Unquote(const std::string& Quoted) {
  std::string out;
  for (std::size_t i = 1; i + 1 < Quoted.size(); ++i) {
    out += Quoted[i];
    if (Quoted[i] == '"' && i + 2 < Quoted.size() && Quoted[i + 1] == '"') ++i;
  }
  return out;
}

struct Token {
  enum Kind { Word, QuotedName, Literal, Punct } Type;
  std::string Text;  // as written
  int Depth;         // parentheses around it
};

std::vector<Token> Tokenize(const std::string& T) {
  std::vector<Token> tokens;
  int depth = 0;
  std::size_t i = 0;
  while (i < T.size()) {
    const char c = T[i];
    std::size_t skip = SkipSQLLiteral(T, i);
    if (skip != i) {
      if (c == '"')
        tokens.push_back({Token::QuotedName, T.substr(i, skip - i), depth});
      else if (c == '\'' || c == '$')
        tokens.push_back({Token::Literal, T.substr(i, skip - i), depth});
      i = skip;  // comments leave no token
      continue;
    }
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (IdentChar(c)) {
      std::size_t j = i;
      while (j < T.size() && IdentChar(T[j])) ++j;
      // E'...': the prefix belongs to the literal that follows.
      if (j < T.size() && T[j] == '\'' && j - i == 1 && (c == 'E' || c == 'e')) {
        i = j;
        continue;
      }
      tokens.push_back({Token::Word, T.substr(i, j - i), depth});
      i = j;
    } else {
      if (c == ')') --depth;
      tokens.push_back({Token::Punct, std::string(1, c), depth});
      if (c == '(') ++depth;
      ++i;
    }
  }
  return tokens;
}

bool IsWord(const Token& T, const char* Upper) {
  return T.Type == Token::Word && UpperCaseAscii(T.Text) == Upper;
}

// A name part as the catalog holds it.
std::string NamePart(const Token& T, bool FoldLower) {
  if (T.Type == Token::QuotedName) return Unquote(T.Text);
  return FoldLower ? LowerCaseAscii(T.Text) : T.Text;
}

bool PlainIdentifier(const std::string& Part, bool FoldLower) {
  if (Part.empty() || (Part[0] >= '0' && Part[0] <= '9')) return false;
  for (char c : Part) {
    const bool lower = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (!lower && !(c >= 'A' && c <= 'Z' && !FoldLower)) return false;
  }
  return true;
}

}  // namespace

std::size_t SkipSQLLiteral(const std::string& T, std::size_t I) {
  const std::size_t n = T.size();
  const char c = T[I];
  if (c == '\'') {
    // E'...' takes backslash escapes; standard strings double the quote.
    const bool escapes =
        I > 0 && (T[I - 1] == 'E' || T[I - 1] == 'e') && (I < 2 || !IdentChar(T[I - 2]));
    std::size_t j = I + 1;
    while (j < n) {
      if (escapes && T[j] == '\\') {
        j += 2;
      } else if (T[j] == '\'') {
        if (j + 1 < n && T[j + 1] == '\'') {
          j += 2;
        } else {
          break;
        }
      } else {
        ++j;
      }
    }
    return std::min(j + 1, n);
  }
  if (c == '"') {
    std::size_t j = I + 1;
    while (j < n) {
      if (T[j] == '"') {
        if (j + 1 < n && T[j + 1] == '"') {
          j += 2;
          continue;
        }
        break;
      }
      ++j;
    }
    return std::min(j + 1, n);
  }
  if (c == '-' && I + 1 < n && T[I + 1] == '-') {
    std::size_t j = T.find('\n', I);
    return j == std::string::npos ? n : j + 1;
  }
  if (c == '/' && I + 1 < n && T[I + 1] == '*') {
    int depth = 1;
    std::size_t j = I + 2;
    while (j < n && depth > 0) {
      if (T[j] == '/' && j + 1 < n && T[j + 1] == '*') {
        ++depth;
        j += 2;
      } else if (T[j] == '*' && j + 1 < n && T[j + 1] == '/') {
        --depth;
        j += 2;
      } else {
        ++j;
      }
    }
    return j;
  }
  if (c == '$' && (I == 0 || !IdentChar(T[I - 1]))) {
    // $tag$ ... $tag$; "$1" is a parameter, not a tag.
    std::size_t j = I + 1;
    if (j < n && IdentStart(T[j]))
      while (j < n && IdentChar(T[j])) ++j;
    if (j < n && T[j] == '$') {
      const std::string tag = T.substr(I, j - I + 1);
      std::size_t end = T.find(tag, j + 1);
      return end == std::string::npos ? n : end + tag.size();
    }
  }
  return I;
}

std::vector<std::string> SQLCodeWords(const std::string& SQL) {
  std::vector<std::string> words;
  for (const Token& t : Tokenize(SQL))
    if (t.Type == Token::Word) words.push_back(UpperCaseAscii(t.Text));
  return words;
}

std::string ParseSQLParams(const std::string& T, TParams* Into) {
  if (Into != nullptr) Into->Clear();
  std::string out;
  out.reserve(T.size());
  std::size_t i = 0;
  while (i < T.size()) {
    std::size_t skip = SkipSQLLiteral(T, i);
    if (skip != i) {
      out.append(T, i, skip - i);
      i = skip;
      continue;
    }
    const char c = T[i];
    if (c == ':' && i + 1 < T.size() && T[i + 1] == ':') {
      std::size_t j = i;
      while (j < T.size() && T[j] == ':') ++j;
      out.append(T, i, j - i);
      i = j;
      continue;
    }
    const bool afterName = i > 0 && (IdentChar(T[i - 1]) || T[i - 1] == ']');
    if (c == ':' && !afterName && i + 1 < T.size() && (IdentStart(T[i + 1]) || T[i + 1] == '"')) {
      std::string name;
      std::size_t j = i + 1;
      if (T[j] == '"') {
        std::size_t end = SkipSQLLiteral(T, j);
        name = Unquote(T.substr(j, end - j));
        j = end;
      } else {
        while (j < T.size() && IdentChar(T[j])) name += T[j++];
      }
      out += '?';
      if (Into != nullptr) Into->CreateParam(ftUnknown, name, ptInput);
      i = j;
      continue;
    }
    if (c == '?') {
      if (i + 1 < T.size() && T[i + 1] == '?') {
        out += "??";
        i += 2;
        continue;
      }
      out += '?';
      if (Into != nullptr) Into->CreateParam(ftUnknown, "", ptInput);
      ++i;
      continue;
    }
    out += c;
    ++i;
  }
  return out;
}

std::vector<std::string> SimpleSelectTableParts(const std::string& SQL, bool FoldLower) {
  std::vector<Token> all = Tokenize(SQL);
  std::vector<Token> t;
  for (const Token& tok : all)
    if (tok.Depth == 0) t.push_back(tok);
  if (t.empty() || !IsWord(t[0], "SELECT")) return {};
  static const std::set<std::string> setOps = {"UNION", "INTERSECT", "EXCEPT"};
  std::size_t from = t.size();
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (t[i].Type != Token::Word) continue;
    const std::string w = UpperCaseAscii(t[i].Text);
    if (setOps.count(w) != 0) return {};
    if (w == "FROM" && from == t.size()) from = i;
  }
  std::size_t i = from + 1;
  if (i < t.size() && IsWord(t[i], "ONLY")) ++i;
  std::vector<Token> parts;
  while (i < t.size() && (t[i].Type == Token::Word || t[i].Type == Token::QuotedName)) {
    parts.push_back(t[i++]);
    if (i < t.size() && t[i].Type == Token::Punct && t[i].Text == ".") {
      ++i;
      continue;
    }
    break;
  }
  if (parts.empty() || parts.size() > 3) return {};
  // A name followed by "(" is a function, not a table.
  if (i < t.size() && t[i].Type == Token::Punct && t[i].Text == "(") return {};
  static const std::set<std::string> ends = {"WHERE",  "GROUP", "ORDER", "HAVING", "LIMIT",
                                             "OFFSET", "FETCH", "FOR",   "WINDOW"};
  auto isEnd = [&](std::size_t k) {
    if (k >= t.size()) return true;
    if (t[k].Type == Token::Punct && t[k].Text == ";") return k + 1 == t.size();
    return t[k].Type == Token::Word && ends.count(UpperCaseAscii(t[k].Text)) != 0;
  };
  if (!isEnd(i)) {
    // An alias, with or without AS.
    if (IsWord(t[i], "AS")) ++i;
    static const std::set<std::string> joins = {
        "JOIN", "NATURAL", "CROSS", "INNER", "LEFT", "RIGHT", "FULL", "ON", "USING", "TABLESAMPLE"};
    if (i >= t.size() || !(t[i].Type == Token::Word || t[i].Type == Token::QuotedName) ||
        (t[i].Type == Token::Word && joins.count(UpperCaseAscii(t[i].Text)) != 0))
      return {};
    ++i;
    if (!isEnd(i)) return {};
  }
  std::vector<std::string> names;
  for (const Token& p : parts) names.push_back(NamePart(p, FoldLower));
  for (const std::string& n : names)
    if (n.empty()) return {};
  return names;
}

std::string SimpleSelectTable(const std::string& SQL, bool FoldLower) {
  return CatalogSQLName(SimpleSelectTableParts(SQL, FoldLower), FoldLower);
}

std::string NormalizeTableName(const std::string& Name, bool FoldLower) {
  try {
    return CatalogSQLName(SplitSQLName(Name, FoldLower), FoldLower);
  } catch (const EDatabaseError&) {
    return "";
  }
}

std::vector<std::string> SplitSQLName(const std::string& Name, bool FoldLower) {
  std::vector<std::string> parts;
  auto invalid = [&] { DatabaseErrorFmt(SInvalidSQLName, {Name}); };
  std::size_t i = 0;
  const std::size_t n = Name.size();
  while (true) {
    while (i < n && IsBlankAscii(Name[i])) ++i;
    std::string part;
    if (i < n && Name[i] == '"') {
      for (++i;; ++i) {
        if (i >= n) invalid();
        if (Name[i] == '"') {
          if (i + 1 < n && Name[i + 1] == '"') {
            part += '"';
            ++i;
            continue;
          }
          ++i;
          break;
        }
        part += Name[i];
      }
      while (i < n && IsBlankAscii(Name[i])) ++i;
      if (i < n && Name[i] != '.') invalid();
    } else {
      const std::size_t start = i;
      while (i < n && Name[i] != '.' && Name[i] != '"') ++i;
      if (i < n && Name[i] == '"') invalid();
      part = TrimAscii(std::string_view(Name).substr(start, i - start));
      if (FoldLower) part = LowerCaseAscii(part);
    }
    if (part.empty() || part.find('\0') != std::string::npos) invalid();
    parts.push_back(std::move(part));
    if (i >= n) break;
    ++i;  // the dot
  }
  return parts;
}

std::string QuoteSQLName(const std::vector<std::string>& Parts, const std::string& Quote) {
  const std::string q = Quote.empty() ? "\"" : Quote;
  std::string out;
  for (const std::string& part : Parts) {
    if (!out.empty()) out += '.';
    out += q;
    for (std::size_t i = 0; i < part.size(); ++i) {
      if (part.compare(i, q.size(), q) == 0) {
        out += q + q;
        i += q.size() - 1;
      } else {
        out += part[i];
      }
    }
    out += q;
  }
  return out;
}

std::string CatalogSQLName(const std::vector<std::string>& Parts, bool FoldLower) {
  bool plain = true;
  for (const std::string& p : Parts) plain = plain && PlainIdentifier(p, FoldLower);
  if (!plain) return QuoteSQLName(Parts, "\"");
  std::string out;
  for (const std::string& p : Parts) {
    if (!out.empty()) out += '.';
    out += p;
  }
  return out;
}

}  // namespace qvl
