// qvl demo: the main job over an embedded SQLite database. It fills a small
// customer table on first use, shows what the macro SQL processor makes of a
// query, then scrolls, searches and edits the cached result of a TQVLQuery.
#include <iomanip>
#include <iostream>
#include <memory>

#include "Commands.h"
#include "qvl/components/QVLQuery.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/sqlclient/SQLConnection.h"
#include "qvl/sql/QVLSQLProcessor.h"

namespace qvl::tool {

namespace {

void FillCustomers(TSQLConnection& Connection) {
  Connection.ExecuteDirect(
      "create table if not exists customers ("
      " id integer primary key, name varchar(40) not null, city varchar(30),"
      " balance numeric(12,2), joined date)");
  TSQLQuery count(nullptr);
  count.SetSQLConnection(&Connection);
  count.SQL().SetText("select count(*) as n from customers");
  count.Open();
  const bool empty = count.Fields()[0]->GetAsInteger() == 0;
  count.Close();
  if (!empty) return;
  static const char* const cities[] = {"Lisbon", "Oslo", "Quito", "Nairobi", "Hanoi"};
  Connection.StartTransaction();
  TParams params;
  TParam* id = params.CreateParam(ftInteger, "id", ptInput);
  TParam* name = params.CreateParam(ftString, "name", ptInput);
  TParam* city = params.CreateParam(ftString, "city", ptInput);
  TParam* balance = params.CreateParam(ftFMTBcd, "balance", ptInput);
  TParam* joined = params.CreateParam(ftDate, "joined", ptInput);
  for (int i = 1; i <= 1000; ++i) {
    id->SetAsInteger(i);
    name->SetAsString("Customer " + std::to_string(i));
    city->SetAsString(cities[i % 5]);
    balance->SetValue(
        Variant::Bcd(std::to_string(i * 37 % 5000) + "." + std::to_string(10 + i % 90)));
    joined->SetAsDateTime(EncodeDate(2020 + i % 6, 1 + i % 12, 1 + i % 28));
    Connection.Execute("insert into customers values (?, ?, ?, ?, ?)", &params);
  }
  Connection.Commit();
}

void PrintRow(TDataSet& ds) {
  std::cout << "  #" << std::setw(4) << ds.GetRecNo() << "  " << std::setw(14) << std::left
            << ds.FieldByName("name")->GetAsString() << std::right << std::setw(9)
            << ds.FieldByName("city")->GetAsString() << std::setw(10)
            << ds.FieldByName("balance")->GetAsString() << "\n";
}

int RunDemo(const std::string& Path) {
  TSQLConnection connection(nullptr);
  connection.SetDriverName("SQLite");
  connection.Params().Add("Database=" + Path);
  connection.Open();
  FillCustomers(connection);

  // The macro SQL processor: one text, two statements.
  const char* text =
      "select id, name, city, balance from customers\n"
      "#if (CITY)\n"
      "where city = :CITY\n"
      "#endif\n"
      "order by %ORDER\n";
  TQVLSQLProcessor& processor = TQVLSQLProcessor::DefaultProcessor();
  auto tree = processor.Parse(text);
  TStringList macros{"ORDER=balance desc"};
  std::cout << "Macro SQL without CITY:\n" << processor.Build(*tree, &macros, nullptr);
  macros.Add("CITY");
  TParams params;
  std::cout << "Macro SQL with CITY:\n" << processor.Build(*tree, &macros, &params);
  std::cout << "  parameters: " << params.Count() << " (" << params[0]->GetName() << ")\n\n";

  // A cached, scrollable query over the table.
  TQVLQuery query(nullptr);
  query.SetSQLConnection(&connection);
  query.SQL().SetText(
      "select id, name, city, balance from customers where city = :CITY order by id");
  query.Params().ParamByName("CITY")->SetAsString("Oslo");
  query.Open();
  std::cout << "Customers in Oslo, first three:\n";
  for (int i = 0; i < 3 && !query.Eof(); ++i, query.Next()) PrintRow(query);
  std::cout << "Record count before reading on: " << query.GetRecordCount() << "\n";
  query.Last();
  std::cout << "Last row, and the count now that every row is read: " << query.GetRecordCount()
            << "\n";
  PrintRow(query);
  query.MoveBy(-2);
  std::cout << "Two rows back, from the cache:\n";
  PrintRow(query);
  TBookmark mark = query.GetBookmark();

  if (query.Locate("name", Variant("CUSTOMER 501"), loCaseInsensitive)) {
    std::cout << "Located 'CUSTOMER 501' without regard to case:\n";
    PrintRow(query);
  }
  Variant city = query.Lookup("id", Variant(996), "city");
  std::cout << "Lookup of the city of customer 996: " << VarToStr(city) << "\n";
  query.GotoBookmark(mark);
  std::cout << "Back at the bookmark:\n";
  PrintRow(query);

  // Cached editing: the change waits in the update log until cancelled.
  query.SetCachedUpdates(true);
  query.Edit();
  query.FieldByName("balance")->SetAsString("0.01");
  query.Post();
  std::cout << "Edited with cached updates: status "
            << (query.UpdateStatus() == usModified ? "modified" : "?")
            << ", updates pending: " << (query.GetUpdatesPending() ? "yes" : "no")
            << ", old balance " << query.FieldByName("balance")->GetOldValue().AsString() << "\n";
  query.CancelUpdates();
  std::cout << "After CancelUpdates: balance " << query.FieldByName("balance")->GetAsString()
            << ", updates pending: " << (query.GetUpdatesPending() ? "yes" : "no") << "\n";
  query.Close();
  return 0;
}

}  // namespace

void AddDemoCommand(CLI::App& App, Status& Result) {
  auto* cmd = App.add_subcommand("demo", "Run the demonstration over an embedded SQLite file");
  // The callback, and with it this option storage, belongs to the command.
  auto path = std::make_shared<std::string>("demo.sqlite");
  cmd->add_option("--db", *path, "SQLite database file (created when missing)");
  cmd->callback([path, &Result] {
    try {
      Result.Code = RunDemo(*path);
    } catch (const std::exception& e) {
      std::cerr << "qvl demo: " << e.what() << "\n";
      Result.Code = 1;
    }
  });
}

}  // namespace qvl::tool
