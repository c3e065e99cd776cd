#include "module/text_list.h"

namespace quantelle::py {

void TextList::pin() {
  if (live_ == nullptr || PyTuple_CheckExact(live_)) return;  // tuples cannot change
  owned_.reserve(size_);
  for (std::size_t i = 0; i < size_; ++i) owned_.push_back(PyRef::borrow(item(i)));
  live_ = nullptr;
}

}  // namespace quantelle::py
