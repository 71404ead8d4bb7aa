#pragma once
// Messages of the SQL layer: connections, drivers and SQL datasets.

#pragma GCC visibility push(default)

namespace qvl {

inline constexpr const char* SUnknownSQLDriver =
    "Unknown SQL driver '%s' (available: SQLite, PostgreSQL)";
inline constexpr const char* SMissingSQLDriver = "No driver name given for the connection";
inline constexpr const char* SDataSetIndexError = "Dataset index out of range";
inline constexpr const char* SConnectionClosed = "The connection is not open";
inline constexpr const char* SConnectionLost = "The connection to the server was lost: %s";
inline constexpr const char* SSessionLost =
    "The session with the server was lost: connect again (Connected) to go on";
inline constexpr const char* SCursorSessionLost =
    "The rest of this result went with the lost session that read it: refresh the dataset to read "
    "it again";
inline constexpr const char* SCommitInDoubt =
    "The connection to the server was lost during COMMIT: whether the transaction took effect is "
    "found out after connecting again: %s";
inline constexpr const char* SConnectTimeout =
    "The server did not answer within the connect timeout";
inline constexpr const char* SConnectionOpen = "Cannot change this setting of an open connection";
inline constexpr const char* SMissingSQLConnection = "No SQL connection is set";
inline constexpr const char* SNoSQLStatement = "No SQL statement is set";
inline constexpr const char* SNoTableName = "No table name is set";
inline constexpr const char* SInvalidSQLName =
    "'%s' is not a valid name: write each part plainly or in double quotes, separated by dots";
inline constexpr const char* SNoStoredProcName = "No stored procedure name is set";
inline constexpr const char* SNoResultSet = "The statement returns no rows";
inline constexpr const char* SUnknownConnectionParam = "Unknown %s connection parameter '%s'";
inline constexpr const char* SInvalidConnectionParam =
    "Invalid value '%s' of connection parameter '%s'";
inline constexpr const char* SInvalidConnectionString = "Invalid connection string";
inline constexpr const char* SPooledManyParams =
    "A statement of more than %s parameters cannot run through a transaction pooler";
inline constexpr const char* SPooledOptions =
    "The options parameter cannot pass a transaction pooler: set '%s' for the role or database "
    "(ALTER ROLE ... SET) instead";
inline constexpr const char* SConnectionOutOfMemory = "Out of memory while opening the connection";
inline constexpr const char* SConnectionParamZeroByte =
    "The value of connection parameter '%s' holds a zero byte";
inline constexpr const char* SJournalModeKept = "SQLite kept the journal mode '%s' instead of '%s'";
inline constexpr const char* SMissingDatabaseParam = "No database file is given for SQLite";
inline constexpr const char* SSQLHasZeroByte =
    "The SQL text holds a zero byte at position %s, where the database would end it";
inline constexpr const char* SDecimalParamInexact =
    "Parameter %s: SQLite cannot store the decimal %s exactly: it keeps integers of up to 64 "
    "bits and other decimals of up to 15 significant digits";
inline constexpr const char* SNaNParamNotSupported =
    "Parameter %s: SQLite cannot store NaN (it would store NULL)";
inline constexpr const char* SMultipleStatements =
    "Only one statement can be prepared at a time: remove the text after the first statement";
inline constexpr const char* SParamCountMismatch =
    "The statement has %s parameter markers but %s parameters were given";
inline constexpr const char* SArrayParamNotSupported = "Parameter %s: array values cannot be bound";
inline constexpr const char* SParamHasZeroByte =
    "Parameter %s: text with a zero byte cannot be sent to PostgreSQL";
inline constexpr const char* STooManyParams =
    "The statement has %s parameter markers; PostgreSQL takes at most 65535";
inline constexpr const char* SParamDateHasTime =
    "Parameter %s: %s has a time of day, which a date cannot hold";
inline constexpr const char* SValueNotValid = "Value %s of column '%s' is not a valid %s";
inline constexpr const char* SValueDoesNotFit = "Value %s of column '%s' does not fit its %s field";
inline constexpr const char* SNotInTransaction = "No transaction is active";
inline constexpr const char* SAlreadyInTransaction = "A transaction is already active";
inline constexpr const char* STransactionAborted =
    "The transaction was rolled back because a statement in it failed";
inline constexpr const char* SCursorRolledBack =
    "The rest of this result was discarded when the transaction it was opened in rolled back";
inline constexpr const char* SCursorLost =
    "The rest of this result was discarded when an error ended the reading transaction";
inline constexpr const char* SReadingCommitFailed =
    "The statement's changes were rolled back with the reading transaction, whose commit failed: "
    "%s";
inline constexpr const char* SStoredProcNotSupported =
    "Stored procedures are not supported by the SQLite driver";
inline constexpr const char* SCursorNotOpen = "The statement has no open result";
inline constexpr const char* SNoCurrentRow = "No current row: the cursor is not on a row";
inline constexpr const char* SColumnIndexError = "Column index %s out of range";
inline constexpr const char* SUnidirectionalLast =
    "Operation not allowed on a unidirectional dataset";

}  // namespace qvl

#pragma GCC visibility pop
