#pragma once
// The operator's roster: one row per registered nickname with its room, in
// the order rows were added, plus the selection and the sort state of the
// list that shows it.
//
// Rows are added at the first pong after a registration and removed when
// the client leaves; nicknames are compared as exact byte strings, and the
// roster never holds two rows with the same nickname (callers check
// IndexOf before Add). Sorting happens only when the operator clicks a
// column header; rows added later are appended unsorted.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace parlivo {

struct RosterRow {
  std::string Nickname;  // the row's caption
  std::string Room;      // its one sub-item
  bool operator==(const RosterRow&) const = default;
};

// Compares byte by byte over the shorter length with a-z taken as A-Z and
// every other byte by its value; the first difference decides, else the
// shorter text is smaller. Ignores the locale. Negative, zero or positive.
int CompareText(std::string_view a, std::string_view b);

class Roster {
 public:
  static constexpr int kNoSelection = -1;

  const std::vector<RosterRow>& Rows() const { return rows_; }
  std::size_t Count() const { return rows_.size(); }
  // Index of the first row whose nickname equals `nickname`, or -1.
  int IndexOf(std::string_view nickname) const;
  void Add(std::string nickname, std::string room);
  // Removes the first row with this nickname, if any.
  void Remove(std::string_view nickname);
  void Clear();

  // The selected row's index, or kNoSelection; it follows its row through
  // sorts and removals of other rows.
  int Selected() const { return selected_; }
  void Select(int index);

  // A click on column 0 (nickname) or 1 (room): remembers the column, flips
  // the direction (on every click, whichever column) and sorts once.
  void ColumnClick(int column);
  int SortColumn() const { return sortColumn_; }
  bool SortAscending() const { return sortAscending_; }
  // The comparison the sort uses, with the current sort state.
  int Compare(const RosterRow& item1, const RosterRow& item2) const;

 private:
  const std::string& Key(const RosterRow& row) const { return sortColumn_ == 0 ? row.Nickname : row.Room; }

  std::vector<RosterRow> rows_;
  int selected_ = kNoSelection;
  int sortColumn_ = 0;
  bool sortAscending_ = false;
};

}  // namespace parlivo
