#include "db/row.h"

#include <charconv>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "core/ascii.h"

namespace dorvek::db {
namespace {

bool SameName(std::string_view a, std::string_view b) { return core::EqualsNoCase(a, b); }

std::string_view Trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::optional<long long> ParseInteger(std::string_view text) {
  text = Trimmed(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<double> ParseDecimal(std::string_view text) {
  text = Trimmed(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

// A decimal as an integer, rounded half away from zero; nothing when it does not fit.
std::optional<long long> RoundToInteger(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  const double rounded = std::round(value);
  // 2^63 is exactly representable; anything at or beyond it does not fit.
  if (rounded >= 9223372036854775808.0 || rounded < -9223372036854775808.0) return std::nullopt;
  return static_cast<long long>(rounded);
}

double RoundToCents(double value) { return std::round(value * 100.0) / 100.0; }

}  // namespace

Row::Row(std::vector<std::string> names, std::vector<Value> values)
    : names_(std::move(names)), values_(std::move(values)) {
  values_.resize(names_.size());
}

const Value* Row::Find(std::string_view column) const {
  for (std::size_t i = 0; i < names_.size(); ++i)
    if (SameName(names_[i], column)) return &values_[i];
  return nullptr;
}

bool Row::Has(std::string_view column) const { return Find(column) != nullptr; }

bool Row::IsNull(std::string_view column) const {
  const Value* value = Find(column);
  return value == nullptr || std::holds_alternative<Null>(*value);
}

long long Row::Int(std::string_view column, long long fallback) const {
  const Value* value = Find(column);
  if (value == nullptr) return fallback;
  if (const auto* i = std::get_if<long long>(value)) return *i;
  if (const auto* d = std::get_if<double>(value)) return RoundToInteger(*d).value_or(fallback);
  if (const auto* x = std::get_if<core::Decimal>(value)) return RoundToInteger(x->ToDouble()).value_or(fallback);
  if (const auto* s = std::get_if<std::string>(value)) {
    if (auto i = ParseInteger(*s)) return *i;
    // MAX(...) over a decimal column may come back as "12.00".
    if (auto d = ParseDecimal(*s)) return RoundToInteger(*d).value_or(fallback);
  }
  return fallback;
}

double Row::Decimal(std::string_view column, double fallback) const {
  const Value* value = Find(column);
  if (value == nullptr) return fallback;
  if (const auto* d = std::get_if<double>(value)) return RoundToCents(*d);
  if (const auto* i = std::get_if<long long>(value)) return static_cast<double>(*i);
  if (const auto* x = std::get_if<core::Decimal>(value)) return x->ToDouble();
  if (const auto* s = std::get_if<std::string>(value)) {
    if (auto d = ParseDecimal(*s)) return RoundToCents(*d);
  }
  return fallback;
}

core::Decimal Row::Exact(std::string_view column, core::Decimal fallback) const {
  const Value* value = Find(column);
  if (value == nullptr) return fallback;
  if (const auto* x = std::get_if<core::Decimal>(value)) return *x;
  if (const auto* d = std::get_if<double>(value)) return core::Decimal::FromDouble(*d);
  if (const auto* i = std::get_if<long long>(value)) return core::Decimal::FromUnits(*i);
  if (const auto* s = std::get_if<std::string>(value)) {
    core::Decimal exact;
    if (core::Decimal::Parse(*s, exact)) return exact;
    if (auto d = ParseDecimal(*s)) return core::Decimal::FromDouble(*d);
  }
  return fallback;
}

std::string Row::Text(std::string_view column, std::string fallback) const {
  const Value* value = Find(column);
  if (value == nullptr) return fallback;
  if (const auto* s = std::get_if<std::string>(value)) return *s;
  if (const auto* i = std::get_if<long long>(value)) return std::to_string(*i);
  if (const auto* d = std::get_if<double>(value)) return fmt::format("{}", *d);
  if (const auto* t = std::get_if<core::DateTime>(value)) return t->ToSql();
  if (const auto* x = std::get_if<core::Decimal>(value)) return x->ToString();
  return fallback;
}

std::optional<core::DateTime> Row::Date(std::string_view column) const {
  const Value* value = Find(column);
  if (value == nullptr) return std::nullopt;
  if (const auto* t = std::get_if<core::DateTime>(value)) return *t;
  if (const auto* s = std::get_if<std::string>(value)) return core::DateTime::Parse(Trimmed(*s));
  return std::nullopt;
}

}  // namespace dorvek::db
