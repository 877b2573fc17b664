// The hole cut on its own, for the tests that hold its two routes against each other.
#pragma once

#include <vector>

#include <TopoDS_Shape.hxx>

#include "model/solid_builder.hpp"

namespace vesk {

// Cuts the holes (cylinders from z = -thickness to 2 thickness) out of solid by the route;
// a failed cut of the one-by-one route throws "OCCT failed to cut hole '<id>'".
TopoDS_Shape cut_through_holes(const TopoDS_Shape& solid, const std::vector<ModelHole>& holes, double thickness,
                               HoleCutRoute route = HoleCutRoute::together);

}  // namespace vesk
