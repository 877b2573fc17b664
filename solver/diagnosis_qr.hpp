// The rank-revealing decompositions behind the diagnosis, kept apart from the system so
// that tests can hold them against an independent computation. Internal to the solver:
// clients go through System::diagnose().
#pragma once

#include <Eigen/Dense>
#include <Eigen/SparseCore>

#include <cstddef>
#include <vector>

namespace GCS {

using SparseMatrix = Eigen::SparseMatrix<double, Eigen::ColMajor, int>;

// The first `rank` rows of a QR factor R, row by row (entries at columns from the row's
// own index on, ascending, exact zeros left out), with the column permutation of the
// decomposition: pivot column i of R is column col_perm[i] of the decomposed matrix, and
// columns rank .. cols-1 of R are the remaining columns.
struct PivotRows {
    int rank = 0;
    int rows = 0;
    int cols = 0;
    std::vector<std::size_t> start;
    std::vector<int> col;
    std::vector<double> val;
    std::vector<int> col_perm;
};

// Full-pivoting Householder QR; a pivot counts when it exceeds `threshold` times the
// largest pivot.
PivotRows qr_decompose_dense(const Eigen::MatrixXd& a, double threshold);

// Sparse QR in the fixed COLAMD column order: the pivots are the first independent set of
// columns in that order (a column whose remainder has a norm at most the larger of
// `threshold` and the rounding floor of the factorisation, times the largest column norm,
// is dependent), the other columns follow in that order.
PivotRows qr_decompose_sparse(const SparseMatrix& a, double threshold);

// Eliminates the entries above the pivots of R, so that every column beyond the rank is
// expressed in the pivot columns (row i then holds R(i,i) times row i of R11^-1 R12);
// returns, per such column, the pivot rows whose eliminated entry exceeds the fixed group
// bound 1e-10, ascending.
std::vector<std::vector<int>> eliminate_above_pivots(const PivotRows& r);

}  // namespace GCS
