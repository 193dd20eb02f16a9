// placeholder: the time step
#include "dynamics/vehicle.h"
namespace vdsim {
void Vehicle::step() {}
}  // namespace vdsim
