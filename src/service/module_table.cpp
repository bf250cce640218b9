#include "service/module_table.h"

#include <algorithm>

namespace warderon {

void TModuleTable::Add(TModuleRow row) {
  rows_.push_back(std::make_unique<TModuleRow>(std::move(row)));
}

std::vector<TModuleRow*> TModuleTable::StartupOrder() {
  std::vector<TModuleRow*> order;
  order.reserve(rows_.size());
  for (const auto& row : rows_) order.push_back(row.get());
  return order;
}

std::vector<TModuleRow*> TModuleTable::CycleOrder() {
  std::vector<TModuleRow*> order = StartupOrder();
  std::stable_sort(order.begin(), order.end(), [](const TModuleRow* a, const TModuleRow* b) {
    return a->cycle_position < b->cycle_position;
  });
  return order;
}

}  // namespace warderon
