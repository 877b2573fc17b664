#include "model/dimension_graph.hpp"
