// placeholder: the car file loader
#include "dynamics/vehicle.h"
namespace vdsim {
bool Vehicle::loadCar(const std::string&, std::string&) { return true; }
}  // namespace vdsim
