#include "KeyColumns.h"

#include <cctype>

#include "Missing.h"
#include "SortErrors.h"

namespace isort::app {
namespace {

std::string Trimmed(const std::string& text) { return std::string(TrimBlanks(text)); }

bool AllDigits(const std::string& text) {
  return !text.empty() && text.size() < 10 &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

// A header name as --by matches it: a UTF-8 byte order mark before the first
// name is not part of it.
std::string Comparable(const std::string& name, std::size_t column) {
  if (column == 0 && name.compare(0, 3, "\xEF\xBB\xBF") == 0) return name.substr(3);
  return name;
}

// One item of a list before it is looked up.
struct Item {
  std::string name;
  bool quoted = false;
  KeyColumn key;
};

// Applies `modifier` to `key`; false when it is no modifier.
bool ApplyModifier(std::string modifier, KeyColumn& key) {
  for (char& c : modifier) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  modifier = Trimmed(modifier);
  if (modifier == "asc") key.direction = 1;
  else if (modifier == "desc") key.direction = -1;
  else if (modifier == "num") key.type = KeyType::kNumber;
  else if (modifier == "text") key.type = KeyType::kText;
  else return false;
  return true;
}

// Cuts `list` into items.
std::vector<Item> SplitItems(const std::string& list) {
  const auto malformed = [&list](const std::string& why) {
    return BadInput(1, "--by \"" + list + "\": " + why);
  };
  std::vector<Item> items;
  std::size_t at = 0;
  for (;;) {
    Item item;
    std::string rest;  // what follows a quoted name, or the whole unquoted item
    while (at < list.size() && (list[at] == ' ' || list[at] == '\t')) ++at;
    if (at < list.size() && list[at] == '"') {
      item.quoted = true;
      for (++at;; ++at) {
        if (at >= list.size()) throw malformed("a quoted name has no closing quote");
        if (list[at] == '"') {
          if (at + 1 < list.size() && list[at + 1] == '"') {
            item.name += '"';
            ++at;
          } else {
            ++at;
            break;
          }
        } else {
          item.name += list[at];
        }
      }
    }
    const std::size_t comma = list.find(',', at);
    rest = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    if (item.quoted) {
      // Only modifiers may follow a quoted name.
      rest = Trimmed(rest);
      while (!rest.empty()) {
        if (rest[0] != ':') throw malformed("only :modifiers may follow a quoted name");
        const std::size_t next = rest.find(':', 1);
        if (!ApplyModifier(rest.substr(1, next == std::string::npos ? next : next - 1), item.key)) {
          throw malformed("unknown modifier in '" + rest + "' (asc, desc, num, text)");
        }
        rest = next == std::string::npos ? "" : rest.substr(next);
      }
    } else {
      for (std::size_t colon; (colon = rest.rfind(':')) != std::string::npos;) {
        if (!ApplyModifier(rest.substr(colon + 1), item.key)) break;
        rest.erase(colon);
      }
      item.name = rest;
      if (Trimmed(item.name).empty()) throw malformed("an empty column name");
    }
    items.push_back(item);
    if (comma == std::string::npos) return items;
    at = comma + 1;
  }
}

std::string ColumnCount(std::size_t columns) {
  return std::to_string(columns) + (columns == 1 ? " column" : " columns");
}

std::size_t ByPosition(const std::string& number, std::size_t columns) {
  const std::size_t column = AllDigits(number) ? std::stoul(number) : 0;
  if (column >= 1 && column <= columns) return column - 1;
  throw BadInput(1, "no column " + number + ": the input has " + ColumnCount(columns));
}

// The column that `item` names.
std::size_t FindColumn(const Item& item, const std::vector<std::string>& names,
                       std::size_t columns) {
  if (!item.quoted && item.name.size() > 1 && item.name[0] == '#') {
    return ByPosition(item.name.substr(1), columns);
  }
  std::vector<std::string> candidates = {item.name};
  if (!item.quoted && Trimmed(item.name) != item.name) candidates.push_back(Trimmed(item.name));
  for (const std::string& candidate : candidates) {
    std::size_t found = names.size();
    for (std::size_t c = 0; c < names.size(); ++c) {
      if (Comparable(names[c], c) != candidate) continue;
      if (found != names.size()) {
        throw BadInput(1, "the header names column '" + candidate + "' twice (columns " +
                              std::to_string(found + 1) + " and " + std::to_string(c + 1) +
                              "): name it by position, e.g. #" + std::to_string(found + 1));
      }
      found = c;
    }
    if (found != names.size()) return found;
  }
  if (!item.quoted && AllDigits(Trimmed(item.name))) {
    return ByPosition(Trimmed(item.name), columns);
  }
  if (names.empty()) {
    throw BadInput(1, "no header (--no-header): name column '" + item.name +
                          "' by number, e.g. #1");
  }
  throw BadInput(1, "no column named '" + item.name + "' in the header");
}

}  // namespace

std::vector<KeyColumn> ParseKeyColumns(const std::vector<std::string>& lists,
                                       const std::vector<std::string>& names,
                                       std::size_t columns, bool reverse) {
  std::vector<KeyColumn> keys;
  std::vector<bool> used(columns, false);
  auto add = [&](KeyColumn key) {
    if (used[key.column]) return;  // a later mention cannot change the order
    used[key.column] = true;
    if (reverse) key.direction = -key.direction;
    keys.push_back(key);
  };
  if (lists.empty()) {
    for (std::size_t c = 0; c < columns; ++c) {
      KeyColumn key;
      key.column = c;
      add(key);
    }
    return keys;
  }
  for (const std::string& list : lists) {
    for (Item& item : SplitItems(list)) {
      item.key.column = FindColumn(item, names, columns);
      add(item.key);
    }
  }
  return keys;
}

}  // namespace isort::app
