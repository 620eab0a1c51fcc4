#include "memory/store/stored_entry.hpp"

#include <cstddef>
#include <type_traits>
#include <utility>

#include "memory/lowercase.hpp"

namespace velmar::memory {

namespace {

// The lowercase form of `items`, or an empty list when it equals `items`.
std::vector<std::string> LowerList(const std::vector<std::string>& items) {
  std::vector<std::string> lower;
  for (size_t i = 0; i < items.size(); ++i) {
    if (!lower.empty()) {
      lower.push_back(MayChangeInLowercase(items[i]) ? ToLower(items[i]) : items[i]);
      continue;
    }
    if (!MayChangeInLowercase(items[i])) continue;
    std::string low = ToLower(items[i]);
    if (low == items[i]) continue;
    // First item that changes: the earlier ones are their own lowercase.
    lower.reserve(items.size());
    lower.assign(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(i));
    lower.push_back(std::move(low));
  }
  return lower;
}

// StoredOf: an identifier list points at entry.memory_id, the first member

}  // namespace

// of the first member, which a standard-layout class shares its address with.
static_assert(std::is_standard_layout_v<StoredEntry> && std::is_standard_layout_v<MetadataEntry>);
static_assert(offsetof(StoredEntry, entry) == 0 && offsetof(MetadataEntry, memory_id) == 0);

StoredEntry MakeStored(MetadataEntry&& entry) {
  StoredEntry stored;
  stored.lower_subjects = LowerList(entry.subjects);
  stored.lower_objects = LowerList(entry.objects);
  stored.lower_keywords = LowerList(entry.keywords);
  stored.entry = std::move(entry);
  return stored;
}

}  // namespace velmar::memory
