#include "support/schema_statements.h"

#include <cctype>

#include <gtest/gtest.h>

#include "core/ascii.h"
#include "db/dispatch_schema.h"

namespace dorvek::test_support {
namespace {

bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// A cursor over SQL text: blanks skipped, words compared without regard to case.
class Scanner {
 public:
  explicit Scanner(std::string_view sql) : sql_(sql) {}

  void SkipBlanks() {
    while (at_ < sql_.size() && std::isspace(static_cast<unsigned char>(sql_[at_]))) ++at_;
  }
  bool Word(std::string_view word) {
    SkipBlanks();
    const std::string_view next = Peek();
    if (!core::EqualsNoCase(next, word)) return false;
    at_ += next.size();
    return true;
  }
  std::string Name() {
    SkipBlanks();
    const std::string_view next = Peek();
    at_ += next.size();
    return std::string(next);
  }
  bool Char(char c) {
    SkipBlanks();
    if (at_ < sql_.size() && sql_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  // Skips to the next top-level comma (true) or to the WHERE that ends the SET list.
  bool NextAssignment() {
    int depth = 0;
    while (at_ < sql_.size()) {
      const char c = sql_[at_];
      if (c == '\'') {
        for (++at_; at_ < sql_.size() && sql_[at_] != '\''; ++at_) {
        }
      } else if (c == '(') {
        ++depth;
      } else if (c == ')') {
        --depth;
      } else if (c == ',' && depth == 0) {
        ++at_;
        return true;
      } else if (depth == 0 && IsNameChar(c) && (at_ == 0 || !IsNameChar(sql_[at_ - 1])) &&
                 core::EqualsNoCase(Peek(), "where")) {
        return false;
      }
      ++at_;
    }
    return false;
  }

 private:
  std::string_view Peek() const {
    std::size_t end = at_;
    while (end < sql_.size() && IsNameChar(sql_[end])) ++end;
    return sql_.substr(at_, end - at_);
  }

  std::string_view sql_;
  std::size_t at_ = 0;
};

}  // namespace

std::optional<WrittenColumns> ParseWrittenColumns(std::string_view sql) {
  Scanner s(sql);
  WrittenColumns written;
  if (s.Word("insert")) {
    if (!s.Word("into")) return std::nullopt;
    written.table = s.Name();
    if (s.Char('(')) {
      do {
        written.columns.push_back(s.Name());
      } while (s.Char(','));
    }
    return written;
  }
  if (s.Word("update")) {
    written.table = s.Name();
    if (!s.Word("set")) return std::nullopt;
    do {
      written.columns.push_back(s.Name());
    } while (s.NextAssignment());
    return written;
  }
  return std::nullopt;
}

std::vector<std::string> NamedTables(std::string_view sql) {
  std::vector<std::string> tables;
  std::size_t at = 0;
  while (at < sql.size()) {
    while (at < sql.size() && !IsNameChar(sql[at])) ++at;
    std::size_t end = at;
    while (end < sql.size() && IsNameChar(sql[end])) ++end;
    const std::string_view word = sql.substr(at, end - at);
    at = end;
    if (!core::EqualsNoCase(word, "from") && !core::EqualsNoCase(word, "join") &&
        !core::EqualsNoCase(word, "into") && !core::EqualsNoCase(word, "update"))
      continue;
    while (at < sql.size() && (std::isspace(static_cast<unsigned char>(sql[at])) || sql[at] == '('))
      ++at;
    end = at;
    while (end < sql.size() && IsNameChar(sql[end])) ++end;
    if (end > at) tables.emplace_back(sql.substr(at, end - at));
    at = end;
  }
  return tables;
}

void ExpectStatementsInSchema(const std::vector<std::string>& statements) {
  for (const std::string& sql : statements) {
    for (const std::string& table : NamedTables(sql))
      EXPECT_NE(db::FindSchemaTable(table), nullptr)
          << "table " << table << " is not in db/dispatch_schema.cc; statement: " << sql;
    if (const auto written = ParseWrittenColumns(sql)) {
      for (const std::string& column : written->columns)
        EXPECT_NE(db::FindSchemaColumn(written->table, column), nullptr)
            << "column " << written->table << "." << column
            << " is written but not in db/dispatch_schema.cc; statement: " << sql;
    }
  }
}

}  // namespace dorvek::test_support
