// Rank-revealing QR for the diagnosis: Eigen's full-pivoting QR on the dense path, the
// multifrontal sparse QR of SuiteSparse on the sparse one.
//
// The sparse path keeps its meaning (the pivots are the first independent columns in the
// COLAMD order) by handing the columns over already in that order with the ordering
// fixed; the factorisation then decides column by column, dropping a column whose
// remainder is at most the tolerance (Heath's rule). Its frontal kernels run on LAPACK and
// BLAS, which are held to one thread so that every run sums in the same order.
#include "solver/diagnosis_qr.hpp"
#include "solver/diagnosis_qr_internal.hpp"

#include <Eigen/OrderingMethods>
#include <SuiteSparseQR.hpp>
#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>

namespace GCS {
namespace {

// Fixed bound on an eliminated entry of R for a column to count in a group; deliberately
// not the pivot threshold.
constexpr double kGroupEntryBound = 1e-10;

// Rounding floor of a column-by-column QR of an m x n matrix, relative to its largest
// column norm: 20 (m + n) machine epsilons, the usual bound for Heath's rule. A dependent
// column's remainder is rounding noise of about this size, so a bound below it (the
// setting of 1e-13 on large sketches) lets dependent columns through as pivots.
constexpr double kFloorPerDimension = 20.0 * std::numeric_limits<double>::epsilon();

// Multithreaded BLAS builds sum in an order that depends on the thread count; the sparse
// QR calls BLAS from its fronts, so such a build is pinned to one thread, once per
// process. The reference BLAS has no threads and none of these entry points.
void pin_blas_to_one_thread()
{
    static std::once_flag once;
    std::call_once(once, [] {
        for (const char* name : {"openblas_set_num_threads", "goto_set_num_threads", "bli_thread_set_num_threads"}) {
            if (void* f = dlsym(RTLD_DEFAULT, name))
                reinterpret_cast<void (*)(int)>(f)(1);
        }
        if (void* f = dlsym(RTLD_DEFAULT, "MKL_Set_Num_Threads"))
            reinterpret_cast<void (*)(int)>(f)(1);
    });
}

// The workspace of one SuiteSparse call, with every result it allocated.
class CholmodScope {
public:
    CholmodScope()
    {
        cholmod_l_start(&cc);
        cc.print = 0;          // never a word on standard output
        cc.SPQR_nthreads = 1;  // no task parallelism either
        cc.SPQR_grain = 1;
    }
    CholmodScope(const CholmodScope&) = delete;
    CholmodScope& operator=(const CholmodScope&) = delete;
    ~CholmodScope()
    {
        if (a != nullptr)
            cholmod_l_free_sparse(&a, &cc);
        if (r != nullptr)
            cholmod_l_free_sparse(&r, &cc);
        if (e != nullptr)
            cholmod_l_free(static_cast<std::size_t>(ncol), sizeof(SuiteSparse_long), e, &cc);
        cholmod_l_finish(&cc);
    }

    cholmod_common cc;
    cholmod_sparse* a = nullptr;
    cholmod_sparse* r = nullptr;
    SuiteSparse_long* e = nullptr;
    SuiteSparse_long ncol = 0;
};

void throw_failure(const cholmod_common& cc)
{
    if (cc.status == CHOLMOD_OUT_OF_MEMORY)
        throw std::bad_alloc();
    throw std::runtime_error("GCS diagnosis sparse QR failed");
}

}  // namespace

PivotRows qr_decompose_dense(const Eigen::MatrixXd& a, double threshold)
{
    Eigen::FullPivHouseholderQR<Eigen::MatrixXd> qr(a.rows(), a.cols());
    qr.setThreshold(threshold);
    qr.compute(a);

    PivotRows r;
    r.rows = static_cast<int>(a.rows());
    r.cols = static_cast<int>(a.cols());
    r.rank = static_cast<int>(qr.rank());
    const Eigen::MatrixXd& qrm = qr.matrixQR();
    r.start.reserve(r.rank + 1);
    r.start.push_back(0);
    for (int i = 0; i < r.rank; ++i) {
        for (int j = i; j < r.cols; ++j) {
            const double v = qrm(i, j);
            if (v != 0.0) {
                r.col.push_back(j);
                r.val.push_back(v);
            }
        }
        r.start.push_back(r.col.size());
    }
    const auto& perm = qr.colsPermutation().indices();
    r.col_perm.assign(perm.data(), perm.data() + perm.size());
    return r;
}

std::vector<int> colamd_column_order(const SparseMatrix& a)
{
    const int n = static_cast<int>(a.cols());
    Eigen::COLAMDOrdering<int> colamd;
    Eigen::PermutationMatrix<Eigen::Dynamic, Eigen::Dynamic, int> ordering;
    colamd(a, ordering);
    // The ordering maps a column to its place.
    std::vector<int> column_at(n);
    for (int j = 0; j < n; ++j)
        column_at[ordering.indices()[j]] = j;
    return column_at;
}

namespace {

// The absolute bound under which the sparse decomposition drops a column: `threshold`
// (relative, as on the dense path) or the rounding floor of a column-by-column
// factorisation of this size, whichever is larger, times the largest column norm.
double sparse_rank_tolerance(const SparseMatrix& a, double threshold)
{
    double largest = 0.0;
    for (int j = 0; j < a.outerSize(); ++j) {
        double sum = 0.0;
        for (SparseMatrix::InnerIterator it(a, j); it; ++it)
            sum += it.value() * it.value();
        largest = std::max(largest, std::sqrt(sum));
    }
    const double floor = kFloorPerDimension * static_cast<double>(a.rows() + a.cols());
    return std::max(threshold, floor) * largest;
}

}  // namespace

PivotRows qr_decompose_sparse(const SparseMatrix& a, double threshold)
{
    pin_blas_to_one_thread();
    const int m = static_cast<int>(a.rows());
    const int n = static_cast<int>(a.cols());
    PivotRows r;
    r.rows = m;
    r.cols = n;
    const std::vector<int> column_at = colamd_column_order(a);

    CholmodScope scope;
    cholmod_common& cc = scope.cc;
    scope.a = cholmod_l_allocate_sparse(m, n, static_cast<std::size_t>(a.nonZeros()), true, true, 0, CHOLMOD_REAL,
                                        &cc);
    if (scope.a == nullptr)
        throw_failure(cc);
    auto* ap = static_cast<SuiteSparse_long*>(scope.a->p);
    auto* ai = static_cast<SuiteSparse_long*>(scope.a->i);
    auto* ax = static_cast<double*>(scope.a->x);
    SuiteSparse_long nz = 0;
    for (int k = 0; k < n; ++k) {
        ap[k] = nz;
        // Row indices of a compressed Eigen column are ascending.
        for (SparseMatrix::InnerIterator it(a, column_at[k]); it; ++it) {
            ai[nz] = it.row();
            ax[nz] = it.value();
            ++nz;
        }
    }
    ap[n] = nz;

    scope.ncol = n;
    const SuiteSparse_long rank = SuiteSparseQR<double>(SPQR_ORDERING_FIXED, sparse_rank_tolerance(a, threshold), 0,
                                                       scope.a, &scope.r, &scope.e, &cc);
    if (rank < 0 || scope.r == nullptr || cc.status < CHOLMOD_OK)
        throw_failure(cc);

    // R comes back squeezed: rank rows, the columns in the given order (or in the order E
    // when the library permuted them), a column that opens the next row a pivot and any
    // other a dependent column, whose entries lie in the rows of earlier pivots only.
    const cholmod_sparse& rm = *scope.r;
    const auto* rp = static_cast<const SuiteSparse_long*>(rm.p);
    const auto* ri = static_cast<const SuiteSparse_long*>(rm.i);
    const auto* rx = static_cast<const double*>(rm.x);
    std::vector<int> place_of(n);  // column of R -> its place in the decomposition's order
    std::vector<int> dependent;
    int live = 0;
    for (int k = 0; k < n; ++k) {
        bool opens_row = false;
        for (SuiteSparse_long q = rp[k]; q < rp[k + 1]; ++q)
            if (ri[q] == live && rx[q] != 0.0)
                opens_row = true;
        if (opens_row)
            place_of[k] = live++;
        else
            dependent.push_back(k);
    }
    if (live != rank)
        throw std::runtime_error("GCS diagnosis sparse QR failed");
    for (std::size_t d = 0; d < dependent.size(); ++d)
        place_of[dependent[d]] = live + static_cast<int>(d);

    r.rank = live;
    r.col_perm.resize(n);
    for (int k = 0; k < n; ++k)
        r.col_perm[place_of[k]] = column_at[scope.e != nullptr ? scope.e[k] : k];

    // Regroup the rows of the column-major factor by row, visiting the columns by place
    // so that the entries of each row come out ascending, its pivot first.
    std::vector<int> column_of(n);
    for (int k = 0; k < n; ++k)
        column_of[place_of[k]] = k;
    std::vector<std::size_t> count(r.rank + 1, 0);
    for (int k = 0; k < n; ++k)
        for (SuiteSparse_long q = rp[k]; q < rp[k + 1]; ++q)
            if (rx[q] != 0.0)
                ++count[ri[q] + 1];
    for (int i = 0; i < r.rank; ++i)
        count[i + 1] += count[i];
    r.start = count;
    r.col.resize(count[r.rank]);
    r.val.resize(count[r.rank]);
    for (int place = 0; place < n; ++place) {
        const int k = column_of[place];
        for (SuiteSparse_long q = rp[k]; q < rp[k + 1]; ++q) {
            if (rx[q] == 0.0)
                continue;
            const std::size_t at = count[ri[q]]++;
            r.col[at] = place;
            r.val[at] = rx[q];
        }
    }
    return r;
}

// Row i loses R(i,k)/R(k,k) times row k for k = i+1 .. rank-1 in turn. Row k is still the
// factor's own row when it is used (rows change only when a later pivot is eliminated
// above), so each row can be finished on its own in a dense work row: the same operations
// in the same order as a whole-matrix sweep, without a rows x columns copy. The work row
// keeps the span of places it has touched, among the pivots and among the other columns,
// so a row costs the reach of its fill rather than the width of R (on a grid of 4000
// parameters a few percent of it).
std::vector<std::vector<int>> eliminate_above_pivots(const PivotRows& r)
{
    std::vector<std::vector<int>> groups(static_cast<std::size_t>(r.cols - r.rank));
    if (groups.empty())
        return groups;
    // Per pivot row, where its entries beyond the pivot columns begin.
    std::vector<std::size_t> beyond(r.rank);
    for (int k = 0; k < r.rank; ++k) {
        std::size_t e = r.start[k];
        while (e < r.start[k + 1] && r.col[e] < r.rank)
            ++e;
        beyond[k] = e;
    }
    std::vector<double> work(r.cols, 0.0);
    for (int i = 0; i < r.rank; ++i) {
        int pivot_hi = i;         // last pivot place touched
        int other_lo = r.cols;    // span of the other places touched
        int other_hi = r.rank - 1;
        auto take_span = [&](int k) {
            if (beyond[k] > r.start[k])
                pivot_hi = std::max(pivot_hi, r.col[beyond[k] - 1]);
            if (beyond[k] < r.start[k + 1]) {
                other_lo = std::min(other_lo, r.col[beyond[k]]);
                other_hi = std::max(other_hi, r.col[r.start[k + 1] - 1]);
            }
        };
        for (std::size_t e = r.start[i]; e < r.start[i + 1]; ++e)
            work[r.col[e]] = r.val[e];
        take_span(i);
        if (r.rank >= 2) {
            for (int k = i + 1; k <= pivot_hi; ++k) {
                const double entry = work[k];
                if (entry == 0.0)
                    continue;
                const std::size_t begin = r.start[k];
                const std::size_t end = r.start[k + 1];
                // The first entry of a pivot row is its pivot.
                const double factor = entry / r.val[begin];
                for (std::size_t e = begin; e < end; ++e)
                    work[r.col[e]] -= factor * r.val[e];
                take_span(k);
            }
        }
        for (int j = other_lo; j <= other_hi; ++j)
            if (std::abs(work[j]) > kGroupEntryBound)
                groups[j - r.rank].push_back(i);
        std::fill(work.begin() + i, work.begin() + pivot_hi + 1, 0.0);
        if (other_lo <= other_hi)
            std::fill(work.begin() + other_lo, work.begin() + other_hi + 1, 0.0);
    }
    return groups;
}

}  // namespace GCS
