// qvl demo: the whole cycle of a cached query, printed step by step, over an
// SQLite file (created when missing) or a PostgreSQL database. Its tables,
// qvl_demo_customers and qvl_demo_cities, are made afresh on every run so
// that each run shows the same thing.
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>

#include "Commands.h"
#include "qvl/components/QVLComponentStream.h"
#include "qvl/components/QVLQuery.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/sql/QVLConnection.h"
#include "qvl/sql/QVLSQLProcessor.h"
#include "qvl/update/QVLUpdateSQL.h"

namespace qvl::tool {

namespace {

bool IsPostgreSQL(const std::string& Db) {
  return Db.rfind("postgresql://", 0) == 0 || Db.rfind("postgres://", 0) == 0;
}

void Connect(TQVLConnection& Connection, const std::string& Db, const std::string& Pooling) {
  if (IsPostgreSQL(Db)) {
    Connection.SetDriverName("PostgreSQL");
    Connection.SetConnectionString(Db);
    if (!Pooling.empty()) Connection.Params().Add("Pooling=" + Pooling);
  } else {
    Connection.SetDriverName("SQLite");
    Connection.Params().Add("Database=" + Db);
  }
  Connection.Open();
}

const char* const Cities[] = {"Lisbon", "Oslo", "Quito", "Nairobi", "Hanoi"};
const char* const Countries[] = {"Portugal", "Norway", "Ecuador", "Kenya", "Viet Nam"};

void FillTables(TSQLConnection& Connection) {
  Connection.ExecuteDirect("drop table if exists qvl_demo_customers");
  Connection.ExecuteDirect("drop table if exists qvl_demo_cities");
  Connection.ExecuteDirect(
      "create table qvl_demo_customers (id integer primary key, name varchar(40) not null,"
      " city varchar(30), balance numeric(12,2))");
  Connection.ExecuteDirect(
      "create table qvl_demo_cities (name varchar(30) primary key, country varchar(30))");
  Connection.StartTransaction();
  TParams params;
  TParam* id = params.CreateParam(ftInteger, "id", ptInput);
  TParam* name = params.CreateParam(ftString, "name", ptInput);
  TParam* city = params.CreateParam(ftString, "city", ptInput);
  TParam* balance = params.CreateParam(ftFMTBcd, "balance", ptInput);
  for (int i = 1; i <= 1000; ++i) {
    id->SetAsInteger(i);
    name->SetAsString("Customer " + std::to_string(i));
    city->SetAsString(Cities[i % 5]);
    balance->SetValue(
        Variant::Bcd(std::to_string(i * 37 % 5000) + "." + std::to_string(10 + i % 90)));
    Connection.Execute("insert into qvl_demo_customers values (?, ?, ?, ?)", &params);
  }
  TParams cityParams;
  TParam* cityName = cityParams.CreateParam(ftString, "name", ptInput);
  TParam* country = cityParams.CreateParam(ftString, "country", ptInput);
  for (int i = 0; i < 5; ++i) {
    cityName->SetAsString(Cities[i]);
    country->SetAsString(Countries[i]);
    Connection.Execute("insert into qvl_demo_cities values (?, ?)", &cityParams);
  }
  Connection.Commit();
}

const char* StatusName(TUpdateStatus Status) {
  static const char* const names[] = {"unmodified", "modified", "inserted", "deleted"};
  return names[Status];
}

void PrintRow(TDataSet& ds) {
  std::cout << "  #" << std::setw(4) << ds.GetRecNo() << "  id " << std::setw(4)
            << ds.FieldByName("id")->GetAsString() << "  " << std::setw(14) << std::left
            << ds.FieldByName("name")->GetAsString() << std::right << std::setw(9)
            << ds.FieldByName("city")->GetAsString() << std::setw(10)
            << ds.FieldByName("country")->GetAsString() << std::setw(10)
            << ds.FieldByName("balance")->GetAsString() << "\n";
}

// Every record the update log holds, with its status; the filter goes back.
void PrintChanges(TQVLQuery& Query) {
  const TUpdateStatusSet saved = Query.GetStatusFilter();
  Query.SetStatusFilter(UpdateStatusBit(usModified) | UpdateStatusBit(usInserted) |
                        UpdateStatusBit(usDeleted));
  for (Query.First(); !Query.Eof(); Query.Next())
    std::cout << "  id " << std::setw(4) << Query.FieldByName("id")->GetAsString() << "  "
              << std::setw(10) << std::left << StatusName(Query.UpdateStatus()) << std::right
              << "  " << Query.FieldByName("name")->GetAsString() << "\n";
  Query.SetStatusFilter(saved);
}

std::string Indented(std::string SQL) {
  while (!SQL.empty() && (SQL.back() == '\n' || SQL.back() == '\r')) SQL.pop_back();
  std::string out = "    ";
  for (char c : SQL)
    if (c == '\n')
      out += "\n    ";
    else if (c != '\r')
      out += c;
  return out;
}

// The server's name of one customer, read through a connection of its own.
std::string ServerName(TSQLConnection& Connection, int Id) {
  TSQLQuery q(nullptr);
  q.SetSQLConnection(&Connection);
  q.SQL().SetText("select name from qvl_demo_customers where id = " + std::to_string(Id));
  q.Open();
  return q.Eof() ? "(no row)" : q.Fields()[0]->GetAsString();
}

bool Find(TQVLQuery& Query, int Id) {
  return Query.Locate("id", Variant(Id), 0);
}

void Rename(TQVLQuery& Query, int Id, const std::string& Name) {
  if (!Find(Query, Id)) throw std::runtime_error("customer " + std::to_string(Id) + " not found");
  Query.Edit();
  Query.FieldByName("name")->SetAsString(Name);
  Query.Post();
}

const char* const MacroText =
    "select id, name, city, balance from qvl_demo_customers\n"
    "#if (CITY)\n"
    "where city = :CITY\n"
    "#endif\n"
    "order by %ORDER\n";

int RunDemo(const std::string& Db, const std::string& Pooling) {
  // The connection owns the query and its lookup dataset: the last step
  // writes the three to a component stream and reads them back.
  auto db = std::make_unique<TQVLConnection>();
  db->SetName("Db");
  Connect(*db, Db, Pooling);
  FillTables(*db);
  std::cout << "Tables qvl_demo_customers (1000 rows) and qvl_demo_cities made on "
            << db->GetDriverName() << ".\n\n";

  auto* cities = new TQVLQuery(db.get());
  cities->SetName("Cities");
  cities->SetSQLConnection(db.get());
  cities->SQL().SetText("select name, country from qvl_demo_cities");

  auto* query = new TQVLQuery(db.get());
  query->SetName("Customers");
  query->SetSQLConnection(db.get());
  query->SetPageSize(16);
  query->SQL().SetText(MacroText);
  query->GetMacros().SetText("CITY\nORDER=id");
  query->Params().ParamByName("CITY")->SetAsString("Oslo");
  auto country = CreateFieldForType(ftString, 30);
  country->SetFieldName("country");
  country->SetFieldKind(fkLookup);
  country->SetLookupDataSet(cities);
  country->SetKeyFields("city");
  country->SetLookupKeyFields("name");
  country->SetLookupResultField("country");
  query->Fields().Add(std::move(country));

  std::cout << "1. A TQVLQuery with macro SQL:\n" << Indented(MacroText) << "\n";
  std::cout << "   macros CITY and ORDER=id make the statement:\n"
            << Indented(query->GetCommandText()) << "\n";
  std::cout << "   parameters: " << query->Params().Count() << " (" << query->Params()[0]->GetName()
            << " = Oslo)\n";
  cities->Open();
  query->Open();
  std::cout << "Customers in Oslo, first three:\n";
  for (int i = 0; i < 3 && !query->Eof(); ++i, query->Next()) PrintRow(*query);
  std::cout << "Record count while rows are still read as needed: " << query->GetRecordCount()
            << " (not known yet)\n";
  query->Last();
  std::cout << "Last row, and the count now that every row is read: " << query->GetRecordCount()
            << "\n";
  PrintRow(*query);
  query->MoveBy(-2);
  std::cout << "Two rows back, from the cache:\n";
  PrintRow(*query);

  std::cout << "\n2. Locate and lookup\n";
  if (query->Locate("name", Variant("CUSTOMER 501"), loCaseInsensitive)) {
    std::cout << "Located 'CUSTOMER 501' without regard to case; country is a lookup field:\n";
    PrintRow(*query);
  }
  std::cout << "Lookup of the balance of customer 996: "
            << VarToStr(query->Lookup("id", Variant(996), "balance")) << "\n";

  std::cout << "\n3. Cached updates\n";
  query->SetCachedUpdates(true);
  query->SetUpdateMode(upWhereChanged);
  Rename(*query, 6, "Ada Lovelace");
  Rename(*query, 16, "Alan Turing");
  Find(*query, 11);
  query->Delete();
  query->Append();
  query->FieldByName("id")->SetAsInteger(1001);
  query->FieldByName("name")->SetAsString("Grace Hopper");
  query->FieldByName("city")->SetAsString("Quito");
  query->FieldByName("balance")->SetAsString("10.50");
  query->Post();
  std::cout << "Edited 6 and 16, deleted 11, inserted 1001; the update log:\n";
  PrintChanges(*query);
  std::cout << "Updates pending: " << (query->GetUpdatesPending() ? "yes" : "no") << "\n";

  // Another connection renames customer 16 before the changes are applied.
  TQVLConnection other;
  Connect(other, Db, Pooling);
  other.ExecuteDirect("update qvl_demo_customers set name = 'Changed elsewhere' where id = 16");
  std::cout << "Meanwhile another connection renamed customer 16 to '" << ServerName(other, 16)
            << "'.\n";

  std::cout << "\n4. ApplyUpdates with generated SQL (update mode upWhereChanged)\n";
  query->SetBeforeApplyUpdates([&](TObject*) {
    std::cout << "BeforeApplyUpdates: in a transaction: " << (db->InTransaction() ? "yes" : "no")
              << "\n";
  });
  query->SetOnUpdateRecord([&](TDataSet* DataSet, TUpdateKind Kind, TUpdateAction&) {
    // Only shows the statement: uaFail leaves the record to generated SQL.
    std::cout << "  id " << DataSet->FieldByName("id")->GetOldValue().AsString()
              << ", in a transaction: " << (db->InTransaction() ? "yes" : "no") << "\n"
              << Indented(db->GetSQLProcessorInUse().GenerateDateSetSQL(*DataSet, Kind,
                                                                        query->GetUpdateMode()))
              << "\n";
  });
  query->SetOnUpdateError(
      [](TDataSet* DataSet, EDatabaseError& E, TUpdateKind, TUpdateAction& Action) {
        std::cout << "OnUpdateError for id " << DataSet->FieldByName("id")->GetOldValue().AsString()
                  << ": " << E.Message() << " -> skipped, kept in the log\n";
        Action = uaSkip;
      });
  query->ApplyUpdates();
  std::cout << "After ApplyUpdates, in a transaction: " << (db->InTransaction() ? "yes" : "no")
            << "; still in the log:\n";
  PrintChanges(*query);
  std::cout << "The server has customer 6 as '" << ServerName(other, 6) << "', 11 as '"
            << ServerName(other, 11) << "', 1001 as '" << ServerName(other, 1001) << "'.\n";

  std::cout << "\n5. A TQVLUpdateSQL with the application's statements\n";
  auto* update = new TQVLUpdateSQL(db.get());
  update->SetName("CustomerUpdate");
  update->GetModifySQL().SetText("update qvl_demo_customers set name = :name where id = :OLD_id");
  update->GetInsertSQL().SetText(
      "insert into qvl_demo_customers (id, name, city, balance) values (:id, :name, :city, "
      ":balance)");
  update->GetDeleteSQL().SetText("delete from qvl_demo_customers where id = :OLD_id");
  query->SetUpdateObject(update);
  query->SetOnUpdateRecord(nullptr);
  std::cout << "ModifySQL:\n" << Indented(update->GetModifySQL().GetText()) << "\n";
  query->ApplyUpdates();
  std::cout << "Applied: the server has customer 16 as '" << ServerName(other, 16)
            << "', updates pending: " << (query->GetUpdatesPending() ? "yes" : "no") << "\n";

  std::cout << "\n6. CancelUpdates\n";
  Find(*query, 21);
  const std::string before = query->FieldByName("balance")->GetAsString();
  query->Edit();
  query->FieldByName("balance")->SetAsString("0.01");
  query->Post();
  std::cout << "Customer 21's balance " << before << " edited to "
            << query->FieldByName("balance")->GetAsString() << ": status "
            << StatusName(query->UpdateStatus())
            << ", updates pending: " << (query->GetUpdatesPending() ? "yes" : "no") << "\n";
  query->CancelUpdates();
  std::cout << "After CancelUpdates: balance " << query->FieldByName("balance")->GetAsString()
            << ", updates pending: " << (query->GetUpdatesPending() ? "yes" : "no") << "\n";

  std::cout << "\n7. The same query from a component stream\n";
  query->Close();
  cities->Close();
  db->Close();
  query->SetOnUpdateRecord(nullptr);
  const std::string document = WriteComponentJSON(*db);
  std::cout << "Written (" << document.size() << " bytes), the query's part:\n";
  {
    std::istringstream lines(document);
    std::string line;
    bool inQuery = false;
    while (std::getline(lines, line)) {
      if (line.find("\"name\": \"Customers\"") != std::string::npos) inQuery = true;
      if (inQuery && line.find("\"Fields\"") != std::string::npos) break;
      if (inQuery && line.find("Database=") == std::string::npos &&
          line.find("ConnectionString") == std::string::npos)
        std::cout << "  " << line << "\n";
    }
  }
  std::unique_ptr<TComponent> read = ReadComponentJSON(document);
  auto* copy = dynamic_cast<TQVLQuery*>(read->FindComponent("Customers"));
  auto* cityCopy = dynamic_cast<TQVLQuery*>(read->FindComponent("Cities"));
  if (copy == nullptr || cityCopy == nullptr) throw std::runtime_error("the stream lost a query");
  cityCopy->Open();
  copy->Params().ParamByName("CITY")->SetAsString("Oslo");
  copy->Open();
  copy->Last();
  std::cout << "Read back and opened: " << copy->GetRecordCount() << " rows, page size "
            << copy->GetPageSize() << ", update object "
            << (copy->GetUpdateObject() ? copy->GetUpdateObject()->GetName() : "none")
            << "; the last:\n";
  PrintRow(*copy);
  return 0;
}

}  // namespace

void AddDemoCommand(CLI::App& App, Status& Result) {
  auto* cmd = App.add_subcommand(
      "demo", "Run the demonstration of the whole cycle (its tables are made afresh each run)");
  // The callback, and with it this option storage, belongs to the command.
  auto db = std::make_shared<std::string>("demo.sqlite");
  cmd->add_option("--db", *db,
                  "SQLite database file (created when missing) or a postgresql:// URI");
  auto pooling = std::make_shared<std::string>();
  cmd->add_option("--pooling", *pooling,
                  "PostgreSQL behind a pooler: session (the default) or transaction");
  cmd->callback([db, pooling, &Result] {
    try {
      Result.Code = RunDemo(*db, *pooling);
    } catch (const std::exception& e) {
      std::cerr << "qvl demo: " << HidePasswords(e.what(), *db) << "\n";
      Result.Code = 1;
    }
  });
}

}  // namespace qvl::tool
