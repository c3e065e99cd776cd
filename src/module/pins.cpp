#include "module/pins.h"

#include "module/id_map.h"
#include "module/text_list.h"

namespace quantelle::py {

void Pins::before_foreign_code() {
  for (TextList* list : lists_) list->pin();
  for (IdMap* map : maps_) map->pin();
  lists_.clear();
  maps_.clear();
  trusted_.clear();
}

const TextList* Pins::reading(PyObject* o) const noexcept {
  for (auto it = lists_.rbegin(); it != lists_.rend(); ++it) {
    if ((*it)->reads_in_place(o)) return *it;
  }
  for (const TextList* list : trusted_) {
    if (list->reads_in_place(o)) return list;
  }
  return nullptr;
}

}  // namespace quantelle::py
