// Edits a cached query with cached updates: changes wait in the update log,
// each record carries its update status, RevertRecord undoes one record and
// CancelUpdates all of them, without a statement sent to the database; then
// ApplyUpdates writes a change with the application's UPDATE and a delete
// with generated SQL.
// Usage: cached-updates DATABASE-FILE (created, or emptied, first).
#include <qvl/components/QVLQuery.h>
#include <qvl/host/sqlclient/SQLConnection.h>
#include <qvl/update/QVLUpdateSQL.h>

#include <iostream>
#include <string>

namespace {

const char* StatusName(qvl::TUpdateStatus Status) {
  switch (Status) {
    case qvl::usUnmodified:
      return "unmodified";
    case qvl::usModified:
      return "modified";
    case qvl::usInserted:
      return "inserted";
    case qvl::usDeleted:
      return "deleted";
  }
  return "?";
}

void Print(qvl::TQVLQuery& Query) {
  std::cout << Query.FieldByName("id")->GetAsString() << " "
            << Query.FieldByName("name")->GetAsString() << " [" << StatusName(Query.UpdateStatus())
            << "]\n";
}

void PrintAll(qvl::TQVLQuery& Query) {
  for (Query.First(); !Query.Eof(); Query.Next()) Print(Query);
  std::cout << "pending: " << (Query.GetUpdatesPending() ? "yes" : "no") << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: cached-updates DATABASE-FILE\n";
    return 2;
  }
  try {
    qvl::TSQLConnection db(nullptr);
    db.SetDriverName("SQLite");
    db.Params().Add(std::string("Database=") + argv[1]);
    db.Open();
    db.ExecuteDirect("drop table if exists items");
    db.ExecuteDirect("create table items (id integer primary key, name varchar(20))");
    db.ExecuteDirect("insert into items values (1, 'apple'), (2, 'pear'), (3, 'plum')");

    qvl::TQVLQuery q(nullptr);
    q.SetSQLConnection(&db);
    q.SQL().SetText("select id, name from items order by id");
    q.SetCachedUpdates(true);
    q.Open();

    q.Edit();  // the first record
    q.FieldByName("name")->SetAsString("green apple");
    q.Post();  // kept in the update log, status usModified
    std::cout << "old value: " << q.FieldByName("name")->GetOldValue().AsString() << "\n";
    q.Next();
    q.Delete();  // pear: hidden, status usDeleted
    q.Append();
    q.FieldByName("id")->SetAsInteger(4);
    q.FieldByName("name")->SetAsString("quince");
    q.Post();  // status usInserted
    PrintAll(q);

    q.First();
    q.RevertRecord();  // the apple as read
    std::cout << "after RevertRecord:\n";
    PrintAll(q);

    q.CancelUpdates();  // every change dropped: the records as read
    std::cout << "after CancelUpdates:\n";
    PrintAll(q);

    qvl::TQVLUpdateSQL upd(nullptr);  // OLD_id: the field's value as read
    upd.GetModifySQL().SetText("update items set name = :name where id = :OLD_id");
    q.SetUpdateObject(&upd);               // an empty statement falls back to generated SQL
    q.SetUpdateMode(qvl::upWhereKeyOnly);  // generated WHERE: key only, changed or all columns
    q.First();
    q.Edit();
    q.FieldByName("name")->SetAsString("red apple");
    q.Post();
    q.Last();
    q.Delete();        // DeleteSQL is empty: "delete from items where id = :OLD_id" is generated
    q.ApplyUpdates();  // one row per record, else "Record not found or changed by another user"
    std::cout << "after ApplyUpdates:\n";
    PrintAll(q);
    q.Close();
    q.Open();  // read again from the file
    std::cout << "in the database:\n";
    PrintAll(q);
  } catch (const std::exception& e) {
    std::cerr << "cached-updates: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
