#include "app/roster.h"

#include <algorithm>
#include <numeric>

namespace parlivo {

int CompareText(std::string_view a, std::string_view b) {
  const auto upper = [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 'a' && u <= 'z' ? u - ('a' - 'A') : u;
  };
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const int difference = static_cast<int>(upper(a[i])) - static_cast<int>(upper(b[i]));
    if (difference != 0) return difference;
  }
  return static_cast<int>(a.size()) - static_cast<int>(b.size());
}

int Roster::IndexOf(std::string_view nickname) const {
  for (std::size_t i = 0; i < rows_.size(); ++i)
    if (rows_[i].Nickname == nickname) return static_cast<int>(i);
  return -1;
}

void Roster::Add(std::string nickname, std::string room) { rows_.push_back({std::move(nickname), std::move(room)}); }

void Roster::Remove(std::string_view nickname) {
  const int index = IndexOf(nickname);
  if (index < 0) return;
  rows_.erase(rows_.begin() + index);
  if (selected_ == index) {
    selected_ = kNoSelection;
  } else if (selected_ > index) {
    --selected_;
  }
}

void Roster::Clear() {
  rows_.clear();
  selected_ = kNoSelection;
}

void Roster::Select(int index) { selected_ = index >= 0 && index < static_cast<int>(rows_.size()) ? index : kNoSelection; }

void Roster::ColumnClick(int column) {
  sortColumn_ = column;
  sortAscending_ = !sortAscending_;
  // Sort an index permutation so the selection can follow its row.
  std::vector<std::size_t> order(rows_.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [this](std::size_t a, std::size_t b) { return Compare(rows_[a], rows_[b]) < 0; });
  std::vector<RosterRow> sorted;
  sorted.reserve(rows_.size());
  int selected = kNoSelection;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (static_cast<int>(order[i]) == selected_) selected = static_cast<int>(i);
    sorted.push_back(std::move(rows_[order[i]]));
  }
  rows_ = std::move(sorted);
  selected_ = selected;
}

int Roster::Compare(const RosterRow& item1, const RosterRow& item2) const {
  return sortAscending_ ? CompareText(Key(item1), Key(item2)) : CompareText(Key(item2), Key(item1));
}

}  // namespace parlivo
