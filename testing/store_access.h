// Raw statements against a Store, for tests that inspect rows no operation reads or break the
// database on purpose. Production code asks Store's named operations.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/store/store.h"

namespace tolverdine {

struct StoreTestAccess {
  static void exec(Store& s, const std::string& sql) { s.exec(sql); }
  static void query(Store& s, const std::string& sql, const std::vector<SqlValue>& args,
                    const std::function<void(const SqlRow&)>& row) {
    s.query(sql, args, row);
  }
};

inline void rawExec(Store& s, const std::string& sql) { StoreTestAccess::exec(s, sql); }
inline void rawQuery(Store& s, const std::string& sql, const std::vector<SqlValue>& args,
                     const std::function<void(const SqlRow&)>& row) {
  StoreTestAccess::query(s, sql, args, row);
}

/// For rows that name no real files: every verified row is good, each destination folder a drive
/// of its own.
inline void trustEveryRow(Store& s) {
  s.setCopyJudge([](const RecordedCopy& c) {
    return CopyJudgement{CopyPlace::good, DriveFile{c.dest, 0}};
  });
}

}  // namespace tolverdine
