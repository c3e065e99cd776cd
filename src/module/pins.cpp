#include "module/pins.h"

#include "module/id_map.h"
#include "module/text_list.h"

namespace quantelle::py {

void Pins::before_foreign_code() {
  for (TextList* list : lists_) list->pin();
  for (IdMap* map : maps_) map->pin();
  lists_.clear();
  maps_.clear();
}

}  // namespace quantelle::py
