#include "qvl/components/QVLComponentStream.h"

#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>
#include <typeinfo>
#include <unordered_set>
#include <vector>

#include "qvl/components/QVLDataSet.h"
#include "qvl/components/QVLQuery.h"
#include "qvl/components/QVLStoredProc.h"
#include "qvl/components/QVLTable.h"
#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/resources/QVLConsts.h"
#include "qvl/sql/QVLConnection.h"
#include "qvl/sql/QVLSQLProcessor.h"
#include "qvl/update/QVLUpdateSQL.h"

namespace qvl {

namespace {

using json = nlohmann::ordered_json;

// A reference read by name, set once every component exists.
struct TPendingReference {
  std::function<void(TComponent*)> Set;
  std::string Name;
  std::string Where;
};

// The state of one read: the root, references to resolve, and the
// components whose Loaded is due, in reading order.
struct TReader {
  TComponent* Root = nullptr;
  std::vector<TPendingReference> References;
  // Set after the references: setting a dataset's connection closes it.
  std::vector<std::function<void()>> Late;
  std::vector<TComponent*> Loading;
  // Every component described so far: a second description of the same
  // one would otherwise be read into it.
  std::unordered_set<const TComponent*> Described;
};

// Owned components nest a few levels in practice; the bound keeps a hostile
// document from exhausting the stack of the recursive reading.
constexpr int kMaxComponentDepth = 64;

[[noreturn]] void Fail(const std::string& Where, const std::string& Message) {
  throw EStreamError(Format(SStreamErrorAt, {Message, Where.empty() ? "/" : Where}));
}

const char* TypeName(const json& Value) {
  return Value.is_null() ? "null" : Value.type_name();
}

void Expect(bool Ok, const json& Value, const char* Expected, const std::string& Where,
            const std::string& Property) {
  if (!Ok) Fail(Where, Format(SStreamPropertyExpects, {Property, Expected, TypeName(Value)}));
}

// ---- property descriptions ---------------------------------------------------------------

struct TProperty {
  std::string Name;
  std::function<json(TComponent&)> Get;
  // Value, the place of the value, the reader.
  std::function<void(TComponent&, const json&, const std::string&, TReader&)> Set;
  json Default;  // null: none declared; written unless empty
};

template <class C>
C& As(TComponent& Component) {
  return dynamic_cast<C&>(Component);
}

template <class C>
TProperty Integer(std::string Name, int (C::*Get)() const, void (C::*Set)(int), int Default) {
  return {Name, [Get](TComponent& c) { return json((As<C>(c).*Get)()); },
          [Set, Name](TComponent& c, const json& v, const std::string& w, TReader&) {
            Expect(v.is_number_integer(), v, "an integer", w, Name);
            (As<C>(c).*Set)(v.get<int>());
          },
          json(Default)};
}

template <class C, class G, class S>
TProperty Boolean(std::string Name, G Get, S Set, bool Default) {
  return {Name, [Get](TComponent& c) { return json(static_cast<bool>((As<C>(c).*Get)())); },
          [Set, Name](TComponent& c, const json& v, const std::string& w, TReader&) {
            Expect(v.is_boolean(), v, "true or false", w, Name);
            (As<C>(c).*Set)(v.get<bool>());
          },
          json(Default)};
}

TProperty Text(std::string Name, std::function<std::string(TComponent&)> Get,
               std::function<void(TComponent&, const std::string&)> Set, json Default = json()) {
  return {Name, [Get](TComponent& c) { return json(Get(c)); },
          [Set, Name](TComponent& c, const json& v, const std::string& w, TReader&) {
            Expect(v.is_string(), v, "a string", w, Name);
            Set(c, v.get<std::string>());
          },
          std::move(Default)};
}

TProperty Character(std::string Name, std::function<char(TComponent&)> Get,
                    std::function<void(TComponent&, char)> Set, char Default) {
  return {Name, [Get](TComponent& c) { return json(std::string(1, Get(c))); },
          [Set, Name](TComponent& c, const json& v, const std::string& w, TReader&) {
            Expect(v.is_string() && v.get<std::string>().size() == 1, v, "one character", w, Name);
            Set(c, v.get<std::string>()[0]);
          },
          json(std::string(1, Default))};
}

TProperty Lines(std::string Name, std::function<TStrings&(TComponent&)> List) {
  return {Name, [List](TComponent& c) { return json(List(c).ToVector()); },
          [List, Name](TComponent& c, const json& v, const std::string& w, TReader&) {
            bool ok = v.is_array();
            for (const json& line : v) ok = ok && line.is_string();
            Expect(ok, v, "a list of strings", w, Name);
            TStringList lines;
            for (const json& line : v) lines.Add(line.get<std::string>());
            List(c).Assign(lines);
          },
          json()};
}

// Names of the members of an enumeration, in value order.
template <class E>
TProperty Enumeration(std::string Name, std::vector<std::string> Names,
                      std::function<E(TComponent&)> Get, std::function<void(TComponent&, E)> Set,
                      E Default) {
  return {Name, [Get, Names](TComponent& c) { return json(Names.at(Get(c))); },
          [Set, Names, Name](TComponent& c, const json& v, const std::string& w, TReader&) {
            for (std::size_t i = 0; i < Names.size(); ++i)
              if (v.is_string() && v.get<std::string>() == Names[i])
                return Set(c, static_cast<E>(i));
            std::string all;
            for (const std::string& n : Names) all += (all.empty() ? "" : ", ") + n;
            Expect(false, v, ("one of " + all).c_str(), w, Name);
          },
          json(Names.at(Default))};
}

// A set of bit flags, written as the names of the members it holds.
TProperty FlagSet(std::string Name, std::vector<std::string> Names,
                  std::function<unsigned(TComponent&)> Get,
                  std::function<void(TComponent&, unsigned)> Set, unsigned Default) {
  auto write = [Names](unsigned Bits) {
    json out = json::array();
    for (std::size_t i = 0; i < Names.size(); ++i)
      if (Bits & (1u << i)) out.push_back(Names[i]);
    return out;
  };
  return {Name, [Get, write](TComponent& c) { return write(Get(c)); },
          [Set, Names, Name](TComponent& c, const json& v, const std::string& w, TReader&) {
            Expect(v.is_array(), v, "a list of names", w, Name);
            unsigned bits = 0;
            for (const json& item : v) {
              std::size_t i = 0;
              while (i < Names.size() && !(item.is_string() && item.get<std::string>() == Names[i]))
                ++i;
              Expect(i < Names.size(), item, "names of its members", w, Name);
              bits |= 1u << i;
            }
            Set(c, bits);
          },
          write(Default)};
}

template <class Target>
TProperty Reference(std::string Name, std::function<TComponent*(TComponent&)> Get,
                    std::function<void(TComponent&, Target*)> Set) {
  return {Name,
          [Get](TComponent& c) {
            TComponent* target = Get(c);
            return target == nullptr ? json() : json(target->GetName());
          },
          [Set, Name](TComponent& c, const json& v, const std::string& w, TReader& r) {
            Expect(v.is_string() || v.is_null(), v, "a component name", w, Name);
            if (v.is_null()) return Set(c, nullptr);
            TComponent* self = &c;
            r.References.push_back(
                {[Set, self, Name, w](TComponent* Found) {
                   auto* target = dynamic_cast<Target*>(Found);
                   if (target == nullptr)
                     Fail(w, Format(SStreamWrongReferenceClass, {Name, Found->GetName()}));
                   Set(*self, target);
                 },
                 v.get<std::string>(), w});
          },
          json()};
}

// ---- fields declared by the application ----------------------------------------------------

TFieldType FieldTypeByName(const std::string& Name, const std::string& Where) {
  for (int t = ftUnknown; t <= ftFMTBcd; ++t)
    if (Name == FieldTypeName(static_cast<TFieldType>(t))) return static_cast<TFieldType>(t);
  Fail(Where, Format(SStreamUnknownFieldType, {Name}));
}

const std::vector<std::string> FieldKindNames = {"fkData", "fkCalculated", "fkLookup",
                                                 "fkInternalCalc", "fkAggregate"};
const std::vector<std::string> ProviderFlagNames = {"pfInUpdate", "pfInWhere", "pfInKey",
                                                    "pfHidden"};

json WriteField(const TField& F) {
  json out;
  out["FieldName"] = F.GetFieldName();
  out["DataType"] = FieldTypeName(F.GetDataType());
  if (F.GetSize() != 0) out["Size"] = F.GetSize();
  if (F.GetFieldKind() != fkData) out["FieldKind"] = FieldKindNames.at(F.GetFieldKind());
  if (F.GetProviderFlags() != (pfInUpdate | pfInWhere)) {
    json flags = json::array();
    for (std::size_t i = 0; i < ProviderFlagNames.size(); ++i)
      if (F.GetProviderFlags() & (1u << i)) flags.push_back(ProviderFlagNames[i]);
    out["ProviderFlags"] = flags;
  }
  if (!F.GetOrigin().empty()) out["Origin"] = F.GetOrigin();
  if (F.GetReadOnly()) out["ReadOnly"] = true;
  if (F.GetRequired()) out["Required"] = true;
  if (F.GetLookupDataSet() != nullptr) out["LookupDataSet"] = F.GetLookupDataSet()->GetName();
  if (!F.GetKeyFields().empty()) out["KeyFields"] = F.GetKeyFields();
  if (!F.GetLookupKeyFields().empty()) out["LookupKeyFields"] = F.GetLookupKeyFields();
  if (!F.GetLookupResultField().empty()) out["LookupResultField"] = F.GetLookupResultField();
  return out;
}

void ReadField(TDataSet& DataSet, const json& V, const std::string& W, TReader& R) {
  if (!V.is_object()) Fail(W, Format(SStreamFieldNotObject, {TypeName(V)}));
  auto text = [&](const char* Key) -> std::string {
    if (!V.contains(Key)) return "";
    Expect(V[Key].is_string(), V[Key], "a string", W + "/" + Key, Key);
    return V[Key].get<std::string>();
  };
  auto flag = [&](const char* Key) {
    if (!V.contains(Key)) return false;
    Expect(V[Key].is_boolean(), V[Key], "true or false", W + "/" + Key, Key);
    return V[Key].get<bool>();
  };
  for (const auto& item : V.items()) {
    static const std::vector<std::string> known = {
        "FieldName",       "DataType",         "Size",     "FieldKind",     "ProviderFlags",
        "Origin",          "ReadOnly",         "Required", "LookupDataSet", "KeyFields",
        "LookupKeyFields", "LookupResultField"};
    if (std::find(known.begin(), known.end(), item.key()) == known.end())
      Fail(W + "/" + item.key(), Format(SStreamUnknownFieldProperty, {item.key()}));
  }
  int size = 0;
  if (V.contains("Size")) {
    Expect(V["Size"].is_number_integer(), V["Size"], "an integer", W + "/Size", "Size");
    size = V["Size"].get<int>();
  }
  std::unique_ptr<TField> field =
      CreateFieldForType(FieldTypeByName(text("DataType"), W + "/DataType"), size);
  field->SetFieldName(text("FieldName"));
  if (V.contains("FieldKind")) {
    const std::string kind = text("FieldKind");
    auto at = std::find(FieldKindNames.begin(), FieldKindNames.end(), kind);
    if (at == FieldKindNames.end()) Fail(W + "/FieldKind", Format(SStreamUnknownFieldKind, {kind}));
    field->SetFieldKind(static_cast<TFieldKind>(at - FieldKindNames.begin()));
  }
  if (V.contains("ProviderFlags")) {
    TProviderFlags flags = 0;
    const json& list = V["ProviderFlags"];
    Expect(list.is_array(), list, "a list of names", W + "/ProviderFlags", "ProviderFlags");
    for (const json& item : list) {
      auto at = item.is_string() ? std::find(ProviderFlagNames.begin(), ProviderFlagNames.end(),
                                             item.get<std::string>())
                                 : ProviderFlagNames.end();
      if (at == ProviderFlagNames.end()) Fail(W + "/ProviderFlags", SStreamUnknownProviderFlag);
      flags |= static_cast<TProviderFlags>(1u << (at - ProviderFlagNames.begin()));
    }
    field->SetProviderFlags(flags);
  }
  field->SetOrigin(text("Origin"));
  field->SetReadOnly(flag("ReadOnly"));
  field->SetRequired(flag("Required"));
  field->SetKeyFields(text("KeyFields"));
  field->SetLookupKeyFields(text("LookupKeyFields"));
  field->SetLookupResultField(text("LookupResultField"));
  TField* added = DataSet.Fields().Add(std::move(field));
  const std::string lookup = text("LookupDataSet");
  if (!lookup.empty())
    R.References.push_back({[added, W](TComponent* Found) {
                              auto* ds = dynamic_cast<TDataSet*>(Found);
                              if (ds == nullptr)
                                Fail(W + "/LookupDataSet",
                                     Format(SStreamNotADataSet, {Found->GetName()}));
                              added->SetLookupDataSet(ds);
                            },
                            lookup, W + "/LookupDataSet"});
}

TProperty Fields() {
  return {"Fields",
          [](TComponent& c) {
            auto& ds = As<TDataSet>(c);
            json out = json::array();
            if (ds.DefaultFields()) return out;
            for (int i = 0; i < ds.Fields().Count(); ++i)
              out.push_back(WriteField(*ds.Fields()[i]));
            return out;
          },
          [](TComponent& c, const json& v, const std::string& w, TReader& r) {
            Expect(v.is_array(), v, "a list of fields", w, "Fields");
            for (std::size_t i = 0; i < v.size(); ++i)
              ReadField(As<TDataSet>(c), v[i], w + "/" + std::to_string(i), r);
          },
          json()};
}

// ---- the classes -------------------------------------------------------------------------------

struct TClass {
  std::string Name;
  std::function<bool(const TComponent&)> Is;
  std::function<std::unique_ptr<TComponent>(TComponent* Owner)> Create;
  std::vector<TProperty> Properties;
};

template <class C>
std::function<bool(const TComponent&)> IsExactly() {
  return [](const TComponent& c) { return typeid(c) == typeid(C); };
}

template <class C>
std::function<std::unique_ptr<TComponent>(TComponent*)> Maker() {
  return [](TComponent* Owner) { return std::make_unique<C>(Owner); };
}

// The properties every dataset component publishes, after its host ones.
// TQVLDataSet's update object is its own and fixed: it is not a property.
template <class D, bool SettableUpdateObject = true>
void AddDataSetProperties(std::vector<TProperty>& P) {
  P.push_back(Integer<D>("PageSize", &D::GetPageSize, &D::SetPageSize, 32));
  P.push_back(Boolean<D>("FetchOnDemand", &D::GetFetchOnDemand, &D::SetFetchOnDemand, true));
  P.push_back(Boolean<D>("UniDirectional", &D::GetUniDirectional, &D::SetUniDirectional, false));
  P.push_back(Boolean<D>("CachedUpdates", &D::GetCachedUpdates, &D::SetCachedUpdates, false));
  P.push_back(FlagSet(
      "UpdateOptions",
      {"uoCheckRowsAffected", "uoAllowMultiRecordUpdates", "uoAllowAutomaticUpdate",
       "uoUpdateInTransaction"},
      [](TComponent& c) { return static_cast<unsigned>(As<D>(c).GetUpdateOptions()); },
      [](TComponent& c, unsigned v) {
        As<D>(c).SetUpdateOptions(static_cast<TQVLRecordUpdateOptions>(v));
      },
      kQVLDefaultRecordUpdateOptions));
  P.push_back(Enumeration<TUpdateMode>(
      "UpdateMode", {"upWhereAll", "upWhereChanged", "upWhereKeyOnly"},
      [](TComponent& c) { return As<D>(c).GetUpdateMode(); },
      [](TComponent& c, TUpdateMode v) { As<D>(c).SetUpdateMode(v); }, upWhereAll));
  if constexpr (SettableUpdateObject)
    P.push_back(Reference<TQVLDataSetUpdateObject>(
        "UpdateObject", [](TComponent& c) -> TComponent* { return As<D>(c).GetUpdateObject(); },
        [](TComponent& c, TQVLDataSetUpdateObject* v) { As<D>(c).SetUpdateObject(v); }));
  P.push_back(Boolean<D>("Filtered", &D::GetFiltered, &D::SetFiltered, false));
}

template <class D>
std::vector<TProperty> HostDataSetProperties() {
  return {Reference<TSQLConnection>(
              "SQLConnection", [](TComponent& c) { return As<D>(c).GetSQLConnection(); },
              [](TComponent& c, TSQLConnection* v) { As<D>(c).SetSQLConnection(v); }),
          Boolean<D>("ParamCheck", &D::GetParamCheck, &D::SetParamCheck, true)};
}

template <class D>
void AddTail(std::vector<TProperty>& P) {
  P.push_back(Fields());
  TProperty active = Boolean<D>("Active", &D::GetActive, &D::SetActive, false);
  active.Set = [](TComponent& c, const json& v, const std::string& w, TReader& r) {
    Expect(v.is_boolean(), v, "true or false", w, "Active");
    TComponent* self = &c;
    const bool value = v.get<bool>();
    r.Late.push_back([self, value] { As<D>(*self).SetActive(value); });
  };
  P.push_back(std::move(active));
}

std::vector<TProperty> ConnectionProperties() {
  return {
      Text(
          "DriverName", [](TComponent& c) { return As<TSQLConnection>(c).GetDriverName(); },
          [](TComponent& c, const std::string& v) { As<TSQLConnection>(c).SetDriverName(v); }),
      Text(
          "ConnectionString",
          [](TComponent& c) { return As<TSQLConnection>(c).GetConnectionString(); },
          [](TComponent& c, const std::string& v) {
            As<TSQLConnection>(c).SetConnectionString(v);
          }),
      Lines("Params", [](TComponent& c) -> TStrings& { return As<TSQLConnection>(c).Params(); }),
      Boolean<TSQLConnection>("Connected", &TSQLConnection::GetConnected,
                              &TSQLConnection::SetConnected, false)};
}

TProperty ProcessorReference(std::function<TQVLSQLProcessor*(TComponent&)> Get,
                             std::function<void(TComponent&, TQVLSQLProcessor*)> Set) {
  return Reference<TQVLSQLProcessor>(
      "SQLProcessor", [Get](TComponent& c) -> TComponent* { return Get(c); }, Set);
}

const std::vector<TClass>& Classes() {
  static const std::vector<TClass> classes = [] {
    std::vector<TClass> all;
    {
      using D = TQVLQuery;
      std::vector<TProperty> p = HostDataSetProperties<D>();
      p.push_back(Lines("SQL", [](TComponent& c) -> TStrings& { return As<D>(c).SQL(); }));
      AddDataSetProperties<D>(p);
      p.push_back(Lines("Macros", [](TComponent& c) -> TStrings& { return As<D>(c).GetMacros(); }));
      p.push_back(ProcessorReference(
          [](TComponent& c) { return As<D>(c).GetSQLProcessor(); },
          [](TComponent& c, TQVLSQLProcessor* v) { As<D>(c).SetSQLProcessor(v); }));
      AddTail<D>(p);
      all.push_back({"TQVLQuery", IsExactly<D>(), Maker<D>(), std::move(p)});
    }
    {
      using D = TQVLDataSet;
      std::vector<TProperty> p = HostDataSetProperties<D>();
      p.push_back(Enumeration<TSQLCommandType>(
          "CommandType", {"ctQuery", "ctTable", "ctStoredProc"},
          [](TComponent& c) { return As<D>(c).GetCommandType(); },
          [](TComponent& c, TSQLCommandType v) { As<D>(c).SetCommandType(v); }, ctQuery));
      p.push_back(Text(
          "CommandText", [](TComponent& c) { return As<D>(c).GetSourceText(); },
          [](TComponent& c, const std::string& v) { As<D>(c).SetCommandText(v); }));
      AddDataSetProperties<D, false>(p);
      AddTail<D>(p);
      all.push_back({"TQVLDataSet", IsExactly<D>(), Maker<D>(), std::move(p)});
    }
    {
      using D = TQVLStoredProc;
      std::vector<TProperty> p = HostDataSetProperties<D>();
      p.push_back(Text(
          "StoredProcName", [](TComponent& c) { return As<D>(c).GetStoredProcName(); },
          [](TComponent& c, const std::string& v) { As<D>(c).SetStoredProcName(v); }));
      AddDataSetProperties<D>(p);
      AddTail<D>(p);
      all.push_back({"TQVLStoredProc", IsExactly<D>(), Maker<D>(), std::move(p)});
    }
    {
      using D = TQVLTable;
      std::vector<TProperty> p = HostDataSetProperties<D>();
      p.push_back(Text(
          "TableName", [](TComponent& c) { return As<D>(c).GetTableName(); },
          [](TComponent& c, const std::string& v) { As<D>(c).SetTableName(v); }));
      AddDataSetProperties<D>(p);
      AddTail<D>(p);
      all.push_back({"TQVLTable", IsExactly<D>(), Maker<D>(), std::move(p)});
    }
    {
      // Streamed also as the internal update object a TQVLDataSet owns.
      using D = TQVLUpdateSQL;
      std::vector<TProperty> p;
      p.push_back(ProcessorReference(
          [](TComponent& c) { return As<D>(c).GetSQLProcessor(); },
          [](TComponent& c, TQVLSQLProcessor* v) { As<D>(c).SetSQLProcessor(v); }));
      p.push_back(
          Lines("ModifySQL", [](TComponent& c) -> TStrings& { return As<D>(c).GetModifySQL(); }));
      p.push_back(
          Lines("InsertSQL", [](TComponent& c) -> TStrings& { return As<D>(c).GetInsertSQL(); }));
      p.push_back(
          Lines("DeleteSQL", [](TComponent& c) -> TStrings& { return As<D>(c).GetDeleteSQL(); }));
      all.push_back({"TQVLUpdateSQL", IsExactly<D>(), Maker<D>(), std::move(p)});
    }
    all.push_back({"TSQLConnection", IsExactly<TSQLConnection>(), Maker<TSQLConnection>(),
                   ConnectionProperties()});
    {
      std::vector<TProperty> p = ConnectionProperties();
      p.push_back(ProcessorReference(
          [](TComponent& c) { return As<TQVLConnection>(c).GetSQLProcessor(); },
          [](TComponent& c, TQVLSQLProcessor* v) { As<TQVLConnection>(c).SetSQLProcessor(v); }));
      all.push_back(
          {"TQVLConnection", IsExactly<TQVLConnection>(), Maker<TQVLConnection>(), std::move(p)});
    }
    {
      using P = TQVLSQLProcessor;
      std::vector<TProperty> p;
      p.push_back(Lines("Macros", [](TComponent& c) -> TStrings& { return As<P>(c).GetMacros(); }));
      p.push_back(Character(
          "ParamChar", [](TComponent& c) { return As<P>(c).GetParamChar(); },
          [](TComponent& c, char v) { As<P>(c).SetParamChar(v); }, ':'));
      p.push_back(Character(
          "MacroChar", [](TComponent& c) { return As<P>(c).GetMacroChar(); },
          [](TComponent& c, char v) { As<P>(c).SetMacroChar(v); }, '%'));
      p.push_back(Boolean<P>("OracleLob", &P::GetOracleLob, &P::SetOracleLob, true));
      all.push_back({"TQVLSQLProcessor", IsExactly<P>(), Maker<P>(), std::move(p)});
    }
    for (TClass& c : all)
      c.Properties.insert(
          c.Properties.begin(),
          TProperty{"Tag",
                    [](TComponent& x) { return json(static_cast<std::int64_t>(x.GetTag())); },
                    [](TComponent& x, const json& v, const std::string& w, TReader&) {
                      Expect(v.is_number_integer(), v, "an integer", w, "Tag");
                      x.SetTag(static_cast<std::intptr_t>(v.get<std::int64_t>()));
                    },
                    json(0)});
    return all;
  }();
  return classes;
}

const TClass& ClassOf(const TComponent& C) {
  for (const TClass& c : Classes())
    if (c.Is(C)) return c;
  throw EStreamError(Format(SStreamClassNotStreamable, {C.GetName()}));
}

const TClass* ClassByName(const std::string& Name) {
  for (const TClass& c : Classes())
    if (c.Name == Name) return &c;
  return nullptr;
}

bool IsEmptyValue(const json& V) {
  return V.is_null() || ((V.is_string() || V.is_array() || V.is_object()) && V.empty());
}

json Write(TComponent& C) {
  const TClass& cls = ClassOf(C);
  json out;
  out["class"] = cls.Name;
  if (!C.GetName().empty()) out["name"] = C.GetName();
  json properties = json::object();
  for (const TProperty& p : cls.Properties) {
    json value = p.Get(C);
    if (p.Default.is_null() ? IsEmptyValue(value) : value == p.Default) continue;
    properties[p.Name] = std::move(value);
  }
  if (!properties.empty()) out["properties"] = std::move(properties);
  json components = json::array();
  for (int i = 0; i < C.ComponentCount(); ++i) components.push_back(Write(*C.Components(i)));
  if (!components.empty()) out["components"] = std::move(components);
  return out;
}

std::string Pointer(const std::string& Where, const std::string& Key) {
  std::string escaped;
  for (char c : Key) escaped += c == '~' ? "~0" : c == '/' ? "~1" : std::string(1, c);
  return Where + "/" + escaped;
}

// Reads the component described at Where, Depth levels below the root;
// Owner null for the root, whose ownership goes to Root.
TComponent* Read(const json& V, const std::string& Where, int Depth, TComponent* Owner,
                 std::unique_ptr<TComponent>& Root, TReader& R) {
  if (Depth > kMaxComponentDepth)
    Fail(Where, Format(SStreamTooDeep, {std::to_string(kMaxComponentDepth)}));
  if (!V.is_object()) Fail(Where, Format(SStreamComponentNotObject, {TypeName(V)}));
  for (const auto& item : V.items())
    if (item.key() != "class" && item.key() != "name" && item.key() != "properties" &&
        item.key() != "components")
      Fail(Pointer(Where, item.key()), Format(SStreamUnknownKey, {item.key()}));
  if (!V.contains("class") || !V["class"].is_string())
    Fail(Pointer(Where, "class"), SStreamClassMissing);
  const std::string className = V["class"].get<std::string>();
  const TClass* cls = ClassByName(className);
  if (cls == nullptr) Fail(Pointer(Where, "class"), Format(SStreamUnknownClass, {className}));
  std::string name;
  if (V.contains("name")) {
    if (!V["name"].is_string()) Fail(Pointer(Where, "name"), SStreamNameNotString);
    name = V["name"].get<std::string>();
  }

  // A component its owner made itself is read into.
  TComponent* component = Owner != nullptr && !name.empty() ? Owner->FindComponent(name) : nullptr;
  if (component != nullptr && !cls->Is(*component))
    Fail(Pointer(Where, "class"), Format(SStreamClassMismatch, {name}));
  if (component != nullptr && R.Described.count(component) != 0)
    Fail(Pointer(Where, "name"), Format(SStreamDuplicateComponent, {name}));
  if (component == nullptr) {
    std::unique_ptr<TComponent> made = cls->Create(Owner);
    component = made.get();
    if (Owner == nullptr)
      Root = std::move(made);
    else
      made.release();  // the owner holds it now
  }
  R.Described.insert(component);
  component->BeginLoading();
  R.Loading.push_back(component);
  if (Owner == nullptr) R.Root = component;
  try {
    component->SetName(name);
  } catch (const Exception& e) {
    Fail(Pointer(Where, "name"), e.Message());
  }

  if (V.contains("properties")) {
    const json& properties = V["properties"];
    const std::string at = Pointer(Where, "properties");
    if (!properties.is_object()) Fail(at, SStreamPropertiesNotObject);
    for (const auto& item : properties.items()) {
      const std::string place = Pointer(at, item.key());
      auto p = std::find_if(cls->Properties.begin(), cls->Properties.end(),
                            [&](const TProperty& x) { return x.Name == item.key(); });
      if (p == cls->Properties.end())
        Fail(place, Format(SStreamUnknownProperty, {item.key(), className}));
      try {
        p->Set(*component, item.value(), place, R);
      } catch (const EStreamError&) {
        throw;
      } catch (const std::exception& e) {
        Fail(place, Format(SStreamPropertyFailed, {item.key(), e.what()}));
      }
    }
  }
  if (V.contains("components")) {
    const json& list = V["components"];
    const std::string at = Pointer(Where, "components");
    if (!list.is_array()) Fail(at, SStreamComponentsNotList);
    for (std::size_t i = 0; i < list.size(); ++i)
      Read(list[i], at + "/" + std::to_string(i), Depth + 1, component, Root, R);
  }
  return component;
}

}  // namespace

std::string WriteComponentJSON(const TComponent& Root) {
  // Getters of the engine-backed properties are not const; reading them
  // changes nothing.
  return Write(const_cast<TComponent&>(Root)).dump(2) + "\n";
}

std::unique_ptr<TComponent> ReadComponentJSON(const std::string& Document) {
  json document;
  try {
    document = json::parse(Document);
  } catch (const json::parse_error& e) {
    throw EStreamError(Format(SStreamInvalidDocument, {e.what()}));
  }
  std::unique_ptr<TComponent> root;
  TReader reader;
  // On any failure root takes every component the reading made with it.
  Read(document, "", 0, nullptr, root, reader);
  for (const TPendingReference& ref : reader.References) {
    TComponent* found = SameTextAscii(reader.Root->GetName(), ref.Name) && !ref.Name.empty()
                            ? reader.Root
                            : reader.Root->FindComponent(ref.Name);
    if (found == nullptr) Fail(ref.Where, Format(SStreamNoSuchComponent, {ref.Name}));
    ref.Set(found);
  }
  for (const auto& set : reader.Late) set();
  for (TComponent* component : reader.Loading) {
    try {
      component->EndLoading();
    } catch (const std::exception& e) {
      throw EStreamError(Format(SStreamLoadedFailed, {component->GetName(), e.what()}));
    }
  }
  return root;
}

}  // namespace qvl
