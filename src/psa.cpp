#include "psa.hpp"
// placeholder: being written
namespace gm {
OwnedArray psa(const View2D&, const View2D&, const View2D&, const View2D&) { panic("not implemented"); }
}
