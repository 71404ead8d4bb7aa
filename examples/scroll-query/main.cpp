// Reads a query into the record cache and scrolls it both ways: the rows are
// fetched from the forward-only SQLite cursor only as navigation needs them.
// Usage: scroll-query DATABASE-FILE (created, or emptied, first).
#include <qvl/components/QVLQuery.h>
#include <qvl/host/sqlclient/SQLConnection.h>

#include <iostream>
#include <string>

namespace {

void CreateCustomers(qvl::TSQLConnection& Db) {
  Db.ExecuteDirect("drop table if exists customers");
  Db.ExecuteDirect(
      "create table customers (id integer primary key, name varchar(40), city varchar(30))");
  Db.StartTransaction();
  qvl::TParams params;
  qvl::TParam* id = params.CreateParam(qvl::ftInteger, "id", qvl::ptInput);
  qvl::TParam* name = params.CreateParam(qvl::ftString, "name", qvl::ptInput);
  qvl::TParam* city = params.CreateParam(qvl::ftString, "city", qvl::ptInput);
  for (int i = 1; i <= 100; ++i) {
    id->SetAsInteger(i);
    name->SetAsString("customer " + std::to_string(i));
    city->SetAsString(i % 4 == 0 ? "Oslo" : "Quito");
    Db.Execute("insert into customers values (?, ?, ?)", &params);
  }
  Db.Commit();
}

void Print(qvl::TDataSet& Query) {
  std::cout << Query.GetRecNo() << ": " << Query.FieldByName("name")->GetAsString() << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: scroll-query DATABASE-FILE\n";
    return 2;
  }
  try {
    qvl::TSQLConnection db(nullptr);
    db.SetDriverName("SQLite");  // or "PostgreSQL" with HostName, Database, User_Name, ...
    db.Params().Add(std::string("Database=") + argv[1]);
    db.Open();
    CreateCustomers(db);

    qvl::TQVLQuery q(nullptr);
    q.SetSQLConnection(&db);
    q.SQL().SetText("select id, name from customers where city = :CITY order by id");
    q.Params().ParamByName("CITY")->SetAsString("Oslo");
    q.Open();  // reads only what the window needs
    for (int i = 0; i < 3; ++i, q.Next()) Print(q);
    q.Last();  // reads the rest: GetRecordCount() is now exact
    std::cout << "records: " << q.GetRecordCount() << "\n";
    q.Prior();  // from the cache, no new fetch
    Print(q);
    if (q.Locate("name", qvl::Variant("CUSTOMER 48"), qvl::loCaseInsensitive)) Print(q);
    for (q.First(); !q.Eof(); q.MoveBy(10)) Print(q);
    q.Close();
  } catch (const std::exception& e) {
    std::cerr << "scroll-query: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
