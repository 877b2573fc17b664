// Steps of the sparse decomposition that the tests check on their own; the diagnosis
// reaches them only through qr_decompose_sparse().
#pragma once

#include <vector>

#include "solver/diagnosis_qr.hpp"

namespace GCS {

// The COLAMD order of a's columns: entry k is the column placed k-th.
std::vector<int> colamd_column_order(const SparseMatrix& a);

}  // namespace GCS
