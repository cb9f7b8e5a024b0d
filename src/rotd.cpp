#include "rotd.hpp"
// placeholder: being written
namespace gm {
Hull Hull::with_capacity(uint64_t) { return Hull(); }
Peaks Hull::peaks(const Row&, const Row&) { panic("not implemented"); }
RotdRow rotd_statistics(const Peaks&) { return {}; }
OwnedArray rotd(const View2D&, const View2D&) { panic("not implemented"); }
}
