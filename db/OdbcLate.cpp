// unixODBC's driver manager, loaded when the program first opens the cash register's database, not when it starts.
// See base/LateLibrary.h for how the functions below forward to the library.
#include "base/LateLibrary.h"

#include <sql.h>
#include <sqlext.h>

LATE_LIBRARY(ODBC_SONAME, "ODBC")

// clang-format off
LATE3(SQLAllocHandle)
LATE10(SQLBindParameter)
LATE9(SQLColumns)
LATE9(SQLDescribeCol)
LATE1(SQLDisconnect)
LATE8(SQLDriverConnect)
LATE3(SQLEndTran)
LATE3(SQLExecDirect)
LATE1(SQLFetch)
LATE2(SQLFreeHandle)
LATE2(SQLFreeStmt)
LATE6(SQLGetData)
LATE8(SQLGetDiagRec)
LATE5(SQLGetInfo)
LATE2(SQLNumResultCols)
LATE2(SQLRowCount)
LATE4(SQLSetConnectAttr)
LATE4(SQLSetEnvAttr)
// clang-format on
