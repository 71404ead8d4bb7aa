#include "qvl/sql/QVLSQLProcessor.h"

#include "qvl/host/dataset/DBConsts.h"
#include "qvl/host/dataset/DataSet.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/sqlclient/SQLDriver.h"
#include "qvl/macrosql/QVLMacroSQLEvaluateVisitor.h"
#include "qvl/macrosql/QVLMacroSQLParser.h"
#include "qvl/resources/QVLConsts.h"

namespace qvl {

// ---- update-SQL generator -----------------------------------------------------------------

namespace {

constexpr const char* CRLF = "\r\n";
constexpr const char* SEquality = " = ";
constexpr const char* SIsNull = " is null";
constexpr const char* SWhereHead = "\r\nwhere\r\n";
constexpr const char* SWhereSeparator = " and\r\n  ";
constexpr const char* SFirstIndent = "  ";
constexpr const char* SListSeparator = ", ";
constexpr const char* SInsertHead = "insert into ";
constexpr const char* SOpenList = "  (";
constexpr const char* SCloseList = ")";
constexpr const char* SValuesLine = "values";
constexpr const char* SUpdateHead = "update ";
constexpr const char* SSetLine = "set";
constexpr const char* SDeleteHead = "delete from ";
constexpr const char* STableAlias = " T";
constexpr const char* SReturningHead = "\r\nreturning\r\n";
constexpr const char* SIntoLine = "into";
constexpr const char* SEmptyBlob = "empty_blob()";
constexpr const char* SEmptyClob = "empty_clob()";
constexpr const char* SNullLiteral = "null";

bool IsQuoteChar(char C) {
  return C == '"' || C == '\'' || C == '`';
}

// Name between Quote characters, each Quote inside doubled; unchanged when
// Quote is empty.
std::string Enclose(const std::string& Quote, std::string_view Name) {
  if (Quote.empty()) return std::string(Name);
  std::string out = Quote;
  for (std::size_t at = 0;;) {
    const std::size_t hit = Name.find(Quote, at);
    out.append(Name.substr(at, hit == std::string_view::npos ? std::string_view::npos : hit - at));
    if (hit == std::string_view::npos) break;
    out += Quote;
    out += Quote;
    at = hit + Quote.size();
  }
  out += Quote;
  return out;
}

bool IsObjectType(TFieldType Type) {
  return Type == ftADT || Type == ftArray || Type == ftReference || Type == ftDataSet;
}

const TObjectField* AsObjectField(const TField& Field) {
  return IsObjectType(Field.GetDataType()) ? static_cast<const TObjectField*>(&Field) : nullptr;
}

}  // namespace

std::string QuoteTableName(bool SQLBased, const std::string& Quote, const std::string& Name) {
  if (Name.empty()) return "";
  if (IsQuoteChar(Name.front()) || IsQuoteChar(Name.back())) return Name;
  if (!SQLBased) return Enclose(Quote, Name);
  // Catalog, schema and the rest: a fourth dot belongs to the last piece.
  const std::string_view name(Name);
  const std::size_t first = name.find('.');
  if (first == std::string_view::npos) return Enclose(Quote, name);
  const std::size_t second = name.find('.', first + 1);
  std::string out = Enclose(Quote, name.substr(0, first)) + ".";
  if (second == std::string_view::npos) return out + Enclose(Quote, name.substr(first + 1));
  return out + Enclose(Quote, name.substr(first + 1, second - first - 1)) + "." +
         Enclose(Quote, name.substr(second + 1));
}

TQVLDataSetSQLGenerator::TQVLDataSetSQLGenerator(TDataSet& ADataSet) : FDataSet(&ADataSet) {
  InitializeMetadata();
}

void TQVLDataSetSQLGenerator::InitializeMetadata() {
  FSQLBased = FDataSet->PSIsSQLBased();
  FQuoteChar = FDataSet->PSGetQuoteChar();
  const std::string table = FDataSet->PSGetTableName();
  if (!table.empty()) FTableName = QuoteTableName(FSQLBased, FQuoteChar, table);
  FTablePrefix = FSQLBased ? "" : FTableName + ".";
  const TFields& fields = FDataSet->Fields();
  for (int i = 0, n = fields.Count(); i < n && !FHasObjects; ++i) {
    const TObjectField* object = AsObjectField(*fields[i]);
    FHasObjects = object != nullptr && !object->GetObjectType().empty();
  }
}

std::string TQVLDataSetSQLGenerator::QuoteName(const std::string& Name) const {
  return Enclose(FQuoteChar, Name);
}

std::string TQVLDataSetSQLGenerator::ParamRef(const TField& Field, bool Old) const {
  const std::string name = Old ? "OLD_" + Field.GetFieldName() : Field.GetFieldName();
  // The macro SQL parser keeps a doubled quote doubled in a parameter's
  // name, so a name is enclosed in a quote character it does not hold.
  char quote = '"';
  if (name.find('"') != std::string::npos) {
    quote = name.find('\'') == std::string::npos ? '\'' : '`';
    if (name.find('`') != std::string::npos && quote == '`')
      DatabaseErrorFmt(SFieldNameNotReferable, {Field.GetFieldName()});
  }
  std::string out(1, FParamChar);
  out += quote;
  out += name;
  out += quote;
  return out;
}

bool TQVLDataSetSQLGenerator::UseFieldInUpdate(const TField& Field) const {
  return CanUseFieldInUpdate(Field) && !Field.GetNewValue().IsEmpty();
}

bool TQVLDataSetSQLGenerator::CanUseFieldInUpdate(const TField& Field) const {
  if (!(Field.GetProviderFlags() & pfInUpdate)) return false;
  switch (Field.GetDataType()) {
    case ftUnknown:
    case ftAutoInc:
    case ftCursor:
    case ftADT:
    case ftArray:
    case ftReference:
    case ftDataSet:
      return false;
    default:
      break;
  }
  if (Field.GetReadOnly() || Field.GetFieldKind() != fkData) return false;
  return !(Field.GetProviderFlags() & pfHidden);
}

bool TQVLDataSetSQLGenerator::UseFieldInWhere(const TField& Field, TUpdateMode Mode) const {
  const TFieldType type = Field.GetDataType();
  if (type == ftUnknown || type == ftCursor || IsObjectType(type)) return false;
  if (type == ftOraBlob || type == ftOraClob || Field.GetFieldKind() != fkData) return false;
  const TProviderFlags flags = Field.GetProviderFlags();
  switch (Mode) {
    case upWhereAll:
      return (flags & pfInWhere) != 0;
    case upWhereChanged:
      return (flags & pfInKey) != 0 || ((flags & pfInWhere) != 0 && !Field.GetNewValue().IsEmpty());
    case upWhereKeyOnly:
      return (flags & pfInKey) != 0;
  }
  return false;
}

std::string TQVLDataSetSQLGenerator::GetQuotedFullName(const TField& Field) const {
  std::string name = Field.GetFullName();
  // Internal names carry a marker character in front.
  if (name.size() > 1 && (name[0] == '\0' || name[0] == '\1')) name.erase(0, 1);
  std::string out;
  for (std::size_t at = 0;;) {
    const std::size_t dot = name.find('.', at);
    out += QuoteName(name.substr(at, dot == std::string::npos ? std::string::npos : dot - at));
    if (dot == std::string::npos) break;
    out += '.';
    at = dot + 1;
  }
  return out;
}

std::string TQVLDataSetSQLGenerator::GetQuotedOriginalName(const TField& Field) const {
  const std::string& origin = Field.GetOrigin();
  if (origin.empty()) return FTablePrefix + QuoteName(Field.GetFieldName());
  // Origins that needed quoting come quoted from the SQL layer.
  const std::string& q = FQuoteChar;
  const bool quoted =
      !q.empty() && origin.size() >= 2 * q.size() && origin.starts_with(q) && origin.ends_with(q);
  return FTablePrefix + (quoted ? origin : QuoteName(origin));
}

void TQVLDataSetSQLGenerator::AppendWhere(const TField& Field, TUpdateMode Mode,
                                          const std::string& Alias, bool InObject,
                                          std::string& Separator, std::string& Where) const {
  if (Field.GetDataType() == ftADT) {
    const auto& object = static_cast<const TObjectField&>(Field);
    for (int i = 0, n = object.FieldCount(); i < n; ++i)
      AppendWhere(*object.Fields(i), Mode, Alias, true, Separator, Where);
    return;
  }
  if (!UseFieldInWhere(Field, Mode)) return;
  const Variant old = Field.GetOldValue();
  std::string comparison;
  if (old.IsNull() || old.IsEmpty())
    comparison = SIsNull;
  else if (!InObject && !FSQLBased && Field.GetDataType() == ftString && VarToStr(old).empty())
    comparison = SIsNull;
  else
    comparison = SEquality + ParamRef(Field, true);
  Where += Separator;
  if (InObject)
    Where += Alias + "." + GetQuotedFullName(Field);
  else
    Where += GetQuotedOriginalName(Field);
  Where += comparison;
  Separator = SWhereSeparator;
}

std::string TQVLDataSetSQLGenerator::GenerateWhereSQL(TUpdateMode Mode,
                                                      const std::string& Alias) const {
  std::string separator = SFirstIndent;
  std::string where;
  const TFields& fields = FDataSet->Fields();
  for (int i = 0, n = fields.Count(); i < n; ++i)
    AppendWhere(*fields[i], Mode, Alias, false, separator, where);
  if (where.empty()) DatabaseError(SNoKeySpecified);
  return SWhereHead + where;
}

std::string TQVLDataSetSQLGenerator::GenerateOracleReturning() const {
  if (!FOracleLob) return "";
  std::string separator = SFirstIndent;
  std::string returning, into;
  const TFields& fields = FDataSet->Fields();
  for (int i = 0, n = fields.Count(); i < n; ++i) {
    const TField& field = *fields[i];
    const TFieldType type = field.GetDataType();
    if ((type != ftOraBlob && type != ftOraClob) || !UseFieldInUpdate(field)) continue;
    returning += separator + GetQuotedFullName(field);
    into += separator + ParamRef(field, false);
    separator = SListSeparator;
  }
  if (returning.empty()) return "";
  return SReturningHead + returning + CRLF + SIntoLine + CRLF + into;
}

std::string TQVLDataSetSQLGenerator::InsertValue(const TField& Field) const {
  const TFieldType type = Field.GetDataType();
  if (type == ftADT || type == ftArray) {
    const auto& object = static_cast<const TObjectField&>(Field);
    std::string values, separator;
    for (int i = 0, n = object.FieldCount(); i < n; ++i) {
      const std::string value = InsertValue(*object.Fields(i));
      if (value.empty()) continue;
      values += separator + value;
      separator = SListSeparator;
    }
    return object.GetObjectType() + "(" + values + ")";
  }
  if (type == ftDataSet) {
    const auto& object = static_cast<const TObjectField&>(Field);
    return object.GetObjectType().empty() ? "" : object.GetObjectType() + "()";
  }
  const TObjectField* parent = Field.GetParentField();
  const bool parentIsObject =
      parent != nullptr && (parent->GetDataType() == ftADT || parent->GetDataType() == ftArray ||
                            parent->GetDataType() == ftReference);
  bool isNull = false;
  if (!UseFieldInUpdate(Field)) {
    if (!parentIsObject) return "";
    isNull = Field.GetAsVariant().IsNull();
    if (!isNull) return "";
  } else if (parent != nullptr) {
    isNull = Field.GetAsVariant().IsNull();
  }
  if (FOracleLob && type == ftOraBlob) return SEmptyBlob;
  if (FOracleLob && type == ftOraClob) return SEmptyClob;
  if (parent != nullptr && isNull) return SNullLiteral;
  return ParamRef(Field, false);
}

std::string TQVLDataSetSQLGenerator::GenerateInsertSQL() const {
  std::string columns, values, separator;
  const TFields& fields = FDataSet->Fields();
  for (int i = 0, n = fields.Count(); i < n; ++i) {
    const TField& field = *fields[i];
    const std::string value = InsertValue(field);
    if (value.empty()) continue;
    columns += separator + GetQuotedOriginalName(field);
    values += separator + value;
    separator = SListSeparator;
  }
  return SInsertHead + FTableName + CRLF + SOpenList + columns + SCloseList + CRLF + SValuesLine +
         CRLF + SOpenList + values + SCloseList + GenerateOracleReturning();
}

std::string TQVLDataSetSQLGenerator::UpdateItem(const TField& Field, const std::string& Alias,
                                                bool InObject, bool InArray) const {
  const TFieldType type = Field.GetDataType();
  if (type == ftADT || type == ftArray) {
    const auto& object = static_cast<const TObjectField&>(Field);
    const bool childrenInArray = InArray || type == ftArray;
    const bool childrenInObject = InObject || type == ftADT;
    std::string list, separator;
    for (int i = 0, n = object.FieldCount(); i < n; ++i) {
      const std::string item =
          UpdateItem(*object.Fields(i), Alias, childrenInObject, childrenInArray);
      if (item.empty()) continue;
      list += separator + item;
      separator = SListSeparator;
    }
    if (type == ftArray)
      return Field.GetFullName() + SEquality + object.GetObjectType() + "(" + list + ")";
    return InArray ? object.GetObjectType() + "(" + list + ")" : list;
  }
  if (InArray) return ParamRef(Field, false);
  if (!UseFieldInUpdate(Field)) return "";
  std::string item =
      InObject ? Alias + "." + GetQuotedFullName(Field) : GetQuotedOriginalName(Field);
  if (FOracleLob && type == ftOraBlob) return item + SEquality + SEmptyBlob;
  if (FOracleLob && type == ftOraClob) return item + SEquality + SEmptyClob;
  return item + SEquality + ParamRef(Field, false);
}

std::string TQVLDataSetSQLGenerator::GenerateUpdateSQL(TUpdateMode Mode) const {
  const std::string alias = FHasObjects ? STableAlias : "";
  std::string list, separator;
  const TFields& fields = FDataSet->Fields();
  for (int i = 0, n = fields.Count(); i < n; ++i) {
    const std::string item = UpdateItem(*fields[i], alias, false, false);
    if (item.empty()) continue;
    list += separator + item;
    separator = SListSeparator;
  }
  return SUpdateHead + FTableName + alias + CRLF + SSetLine + CRLF + list +
         GenerateWhereSQL(Mode, alias) + GenerateOracleReturning();
}

std::string TQVLDataSetSQLGenerator::GenerateDeleteSQL(TUpdateMode Mode) const {
  const std::string alias = FHasObjects ? STableAlias : "";
  return SDeleteHead + FTableName + alias + GenerateWhereSQL(Mode, alias);
}

// ---- TQVLSQLProcessor ------------------------------------------------------------------------

TQVLSQLProcessor::TQVLSQLProcessor(TComponent* AOwner)
    : TComponent(AOwner), FMacros(std::make_unique<TStringList>()) {}

TQVLSQLProcessor::~TQVLSQLProcessor() = default;

TQVLSQLProcessor& TQVLSQLProcessor::DefaultProcessor() {
  // Deliberately never freed: components may reach it from their own static
  // destructors. It stays reachable, so leak checkers do not count it.
  static TQVLSQLProcessor* const Instance = new TQVLSQLProcessor(nullptr);
  return *Instance;
}

void TQVLSQLProcessor::SetMacros(const TStrings& Value) {
  FMacros->Assign(Value);
}

std::shared_ptr<IQVLMacroSQLParser> TQVLSQLProcessor::GetParser() const {
  return std::make_shared<TQVLMacroSQLParser>(FParamChar, FMacroChar);
}

std::unique_ptr<TStringList> TQVLSQLProcessor::CreateFullMacros(const TStrings* Macros) const {
  auto result = std::make_unique<TStringList>();
  if (Macros == nullptr) {
    result->Assign(*FMacros);
    return result;
  }
  for (int i = 0, n = FMacros->Count(); i < n; ++i) {
    const std::string line = FMacros->Get(i);
    if (Macros->IndexOf(line) >= 0) continue;
    // A bare line has no name; it must not be taken for one named "".
    if (line.find('=') != std::string::npos && Macros->IndexOfName(FMacros->GetName(i)) >= 0)
      continue;
    result->Add(line);
  }
  result->AddStrings(*Macros);
  return result;
}

std::unique_ptr<TQVLMacroSQLElement> TQVLSQLProcessor::Parse(std::string_view SQL) const {
  return GetParser()->Parse(SQL);
}

std::string TQVLSQLProcessor::Build(const TQVLMacroSQLElement& Tree, const TStrings* Macros,
                                    TParams* Params) const {
  const std::unique_ptr<TStringList> macros = CreateFullMacros(Macros);
  TQVLMacroSQLEvaluateVisitor visitor(GetParser(), *macros, Params);
  Tree.Accept(visitor);
  return std::move(visitor).GetResultSQL();
}

std::string TQVLSQLProcessor::GenerateDateSetSQL(TDataSet& DataSet, TUpdateKind Kind,
                                                 TUpdateMode Mode) const {
  TQVLDataSetSQLGenerator generator(DataSet);
  generator.SetParamChar(FParamChar);
  generator.SetOracleLob(FOracleLob);
  switch (Kind) {
    case ukModify:
      return generator.GenerateUpdateSQL(Mode);
    case ukInsert:
      return generator.GenerateInsertSQL();
    case ukDelete:
      return generator.GenerateDeleteSQL(Mode);
  }
  DatabaseError(SNotSupported);
}

void TQVLSQLProcessor::ExplainSyntaxError(ESQLDatabaseError& Error) const {
  // With ":" as the marker, a lone ":" or one before a name is a parameter
  // and quotes and comments hide theirs: the ":" the server met is what a
  // doubled marker left.
  if (FParamChar == ':' && Error.GetSQLState() == "42601" &&
      Error.Message().find("\":\"") != std::string::npos)
    Error.SetMessage(Format(SDoubledParamCharSyntax, {Error.Message()}));
}

}  // namespace qvl
