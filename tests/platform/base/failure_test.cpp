// An entry point answers every kind of exception with its form's value, and a failed library
// call is answered with the subsystem's value for its kind, labelled with the call that failed.
#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/x509.h>

#include <stdexcept>
#include <string>

#include "platform/base/failure.h"
#include "platform/base/guard.h"
#include "platform/base/openssl_failure.h"
#include "platform/base/sqlite_failure.h"
#include "platform/com/com.h"

namespace {

using velmor::platform::Failure;
using velmor::platform::Guard;

enum class Throw { kNothing, kBadAlloc, kRuntimeError, kInt };

void Raise(Throw what) {
  switch (what) {
    case Throw::kNothing: return;
    case Throw::kBadAlloc: throw std::bad_alloc();
    case Throw::kRuntimeError: throw std::runtime_error("body");
    case Throw::kInt: throw 7;
  }
}

enum class Form { kHresult, kBoolLastError, kLong };

struct GuardCase {
  const char* name;
  Form form;
  Throw what;
  long answer;        // what the entry returns
  DWORD lastError;    // what it leaves as last error (kBoolLastError only)
};

class GuardTest : public ::testing::TestWithParam<GuardCase> {};

TEST_P(GuardTest, AnswersWithTheFormsValue) {
  const GuardCase& c = GetParam();
  SetLastError(ERROR_SUCCESS);
  long answer = 0;
  switch (c.form) {
    case Form::kHresult:
      answer = Guard(velmor::com::HresultEntry{E_INVALIDARG}, [&]() -> HRESULT {
        Raise(c.what);
        return S_OK;
      });
      break;
    case Form::kBoolLastError:
      answer = Guard(velmor::com::LastErrorEntry<BOOL>{FALSE, ERROR_OUTOFMEMORY, ERROR_INVALID_HANDLE},
                     [&]() -> BOOL {
                       Raise(c.what);
                       return TRUE;
                     });
      break;
    case Form::kLong:
      answer = Guard(velmor::com::ErrorEntry<LONG>{}, [&]() -> LONG {
        Raise(c.what);
        return static_cast<LONG>(ERROR_MORE_DATA);
      });
      break;
  }
  EXPECT_EQ(answer, c.answer);
  if (c.form == Form::kBoolLastError) {
    EXPECT_EQ(GetLastError(), c.lastError);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, GuardTest,
    ::testing::Values(
        GuardCase{"HresultBody", Form::kHresult, Throw::kNothing, S_OK, 0},
        GuardCase{"HresultOutOfMemory", Form::kHresult, Throw::kBadAlloc, E_OUTOFMEMORY, 0},
        GuardCase{"HresultOther", Form::kHresult, Throw::kRuntimeError, E_INVALIDARG, 0},
        GuardCase{"HresultNoException", Form::kHresult, Throw::kInt, E_INVALIDARG, 0},
        GuardCase{"BoolBody", Form::kBoolLastError, Throw::kNothing, TRUE, ERROR_SUCCESS},
        GuardCase{"BoolOutOfMemory", Form::kBoolLastError, Throw::kBadAlloc, FALSE, ERROR_OUTOFMEMORY},
        GuardCase{"BoolOther", Form::kBoolLastError, Throw::kInt, FALSE, ERROR_INVALID_HANDLE},
        GuardCase{"LongBody", Form::kLong, Throw::kNothing, ERROR_MORE_DATA, 0},
        GuardCase{"LongOutOfMemory", Form::kLong, Throw::kBadAlloc, ERROR_OUTOFMEMORY, 0},
        GuardCase{"LongOther", Form::kLong, Throw::kRuntimeError, ERROR_OUTOFMEMORY, 0}),
    [](const ::testing::TestParamInfo<GuardCase>& c) { return std::string(c.param.name); });

struct SqliteCase {
  int rc;
  Failure kind;
};

class SqliteKindTest : public ::testing::TestWithParam<SqliteCase> {};

// Extended codes count by their primary code.
TEST_P(SqliteKindTest, SortsTheResult) {
  EXPECT_EQ(velmor::platform::SqliteFailureKind(GetParam().rc), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, SqliteKindTest,
    ::testing::Values(SqliteCase{SQLITE_NOMEM, Failure::kOutOfMemory},
                      SqliteCase{SQLITE_READONLY_DBMOVED, Failure::kAccessDenied},
                      SqliteCase{SQLITE_CANTOPEN_ISDIR, Failure::kAccessDenied},
                      SqliteCase{SQLITE_BUSY_SNAPSHOT, Failure::kBusy},
                      SqliteCase{SQLITE_LOCKED, Failure::kBusy},
                      SqliteCase{SQLITE_FULL, Failure::kDiskFull},
                      SqliteCase{SQLITE_NOTADB, Failure::kCorrupt},
                      SqliteCase{SQLITE_CORRUPT_INDEX, Failure::kCorrupt},
                      SqliteCase{SQLITE_IOERR_WRITE, Failure::kOther},
                      SqliteCase{SQLITE_SCHEMA, Failure::kOther}));

int Succeeds() { return 1; }
int Fails() { return 0; }
int Outer(int) { return 0; }

constexpr auto kValues = velmor::platform::FailureValues(1016).With(Failure::kCorrupt, 1009);

TEST(FailureMapper, LabelsTheCallThatEndedTheChain) {
  EXPECT_FALSE(VELMOR_CALL(Succeeds) && VELMOR_CALL(Fails) && VELMOR_CALL(Succeeds));
  EXPECT_STREQ(velmor::platform::NotedCall(), "Fails");
  // A wrapped call among the arguments returns first: the outer call is the one that failed.
  EXPECT_EQ(VELMOR_CALL(Outer, VELMOR_CALL(Succeeds)), 0);
  EXPECT_STREQ(velmor::platform::NotedCall(), "Outer");

  EXPECT_EQ(velmor::platform::MapSqliteFailure(SQLITE_NOTADB, kValues), 1009u);
  EXPECT_EQ(std::string(velmor::platform::LastFailedCall()),
            std::string("Outer: ") + sqlite3_errstr(SQLITE_NOTADB));
  EXPECT_EQ(velmor::platform::MapSqliteFailure(SQLITE_BUSY, kValues, "COMMIT"), 1016u);
  EXPECT_EQ(std::string(velmor::platform::LastFailedCall()).rfind("COMMIT: ", 0), 0u);
}

TEST(FailureMapper, SortsOpenSslsQueueAndEmptiesIt) {
  static const unsigned char kNotDer[] = {0x30, 0x03, 0x02, 0x01};
  const unsigned char* p = kNotDer;
  EXPECT_EQ(VELMOR_CALL(d2i_X509, nullptr, &p, static_cast<long>(sizeof kNotDer)), nullptr);
  EXPECT_EQ(velmor::platform::MapOpenSslFailure(kValues.With(Failure::kMalformed, 0x80093103u)),
            0x80093103u);
  EXPECT_EQ(std::string(velmor::platform::LastFailedCall()).rfind("d2i_X509: ", 0), 0u);
  EXPECT_EQ(ERR_peek_error(), 0u);
  // Nothing queued: the caller's own value, the call named alone.
  EXPECT_EQ(velmor::platform::MapOpenSslFailure(kValues, "BIO_new"), 1016u);
  EXPECT_STREQ(velmor::platform::LastFailedCall(), "BIO_new");
}

}  // namespace
