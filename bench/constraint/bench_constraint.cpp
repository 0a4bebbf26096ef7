// The constraint library's numeric core beside Eigen on the same row-major inputs, same
// compiler flags, Eigen single-threaded. Every benchmark checks its residual after timing and
// fails the run when it is off. Medians of repeated runs; the ratios ours / Eigen are printed
// at the end.
//
//   lu_*       dense LU, decompose + back substitution on caller storage vs a reused
//              PartialPivLU, and luSolve vs a freshly built PartialPivLU; the matrix is copied
//              inside every loop (both sides), n = 4..64.
//   inv_*      closed-form inverses of batches of 1000 pre-generated matrices vs Eigen's
//              computeInverseWithCheck, n = 2..4.
//   fromJ_*    the normal-equation solve (J J^T + 1e-6 I) x = b on chains of bodies built
//              directly as J: ours forms A, factors and solves; Eigen multiplies, factors
//              (pattern analysed outside the loop, AMD ordering) and solves.
//   factor_*   factor + solve of the same A: ours vs Eigen's SimplicialLLT under natural and
//              AMD ordering.

#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <Eigen/Sparse>
#include <Eigen/SparseCholesky>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "constraint/blocksparsematrix.hpp"
#include "constraint/lu.hpp"
#include "constraint/sparsenormalsolver.hpp"

namespace {

using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

constexpr int kBatch = 1000;
const int kLuSizes[] = {4, 6, 8, 12, 16, 24, 32, 48, 64};
const int kChainSizes[] = {10, 20, 30, 50, 100, 300, 1000};

// Diagonally weighted random matrix: well conditioned, pivoting still exercised.
RowMatrix denseInput(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    RowMatrix a(n, n);
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            a(i, j) = u(rng);
        }
        a(i, (i * 7 + 3) % n) += 2.0;
    }
    return a;
}

double relativeResidual(const RowMatrix& a, const Eigen::VectorXd& x, const Eigen::VectorXd& b) {
    return (a * x - b).norm() / (a.norm() * x.norm() + b.norm());
}

void checkDense(benchmark::State& state, const RowMatrix& a, const Eigen::VectorXd& x,
                const Eigen::VectorXd& b) {
    const double r = relativeResidual(a, x, b);
    state.counters["residual"] = r;
    if (!(r < 1e-12)) {
        state.SkipWithError("residual too large");
    }
}

void luOursSubstitute(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const RowMatrix a = denseInput(n, 1);
    const Eigen::VectorXd b = Eigen::VectorXd::LinSpaced(n, -1.0, 1.0);
    std::vector<double> work(static_cast<size_t>(n) * n), scale(n);
    std::vector<int> index(n);
    Eigen::VectorXd x(n);
    double parity;
    for (auto _ : state) {
        std::memcpy(work.data(), a.data(), sizeof(double) * n * n);
        rzMath::luDecompose(work.data(), n, index.data(), &parity, scale.data());
        std::memcpy(x.data(), b.data(), sizeof(double) * n);
        rzMath::luBackSubstitute(work.data(), n, index.data(), x.data());
        benchmark::DoNotOptimize(x.data());
        benchmark::ClobberMemory();
    }
    checkDense(state, a, x, b);
}

void luEigenReused(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const RowMatrix a = denseInput(n, 1);
    const Eigen::VectorXd b = Eigen::VectorXd::LinSpaced(n, -1.0, 1.0);
    RowMatrix work(n, n);
    Eigen::PartialPivLU<RowMatrix> lu(n);
    Eigen::VectorXd x(n);
    for (auto _ : state) {
        work = a;
        lu.compute(work);
        x.noalias() = lu.solve(b);
        benchmark::DoNotOptimize(x.data());
        benchmark::ClobberMemory();
    }
    checkDense(state, a, x, b);
}

void luOursSolve(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const RowMatrix a = denseInput(n, 1);
    const Eigen::VectorXd b = Eigen::VectorXd::LinSpaced(n, -1.0, 1.0);
    std::vector<double> work(static_cast<size_t>(n) * n);
    Eigen::VectorXd x(n);
    for (auto _ : state) {
        std::memcpy(work.data(), a.data(), sizeof(double) * n * n);
        rzMath::luSolve(x.data(), work.data(), b.data(), n);
        benchmark::DoNotOptimize(x.data());
        benchmark::ClobberMemory();
    }
    checkDense(state, a, x, b);
}

void luEigenFresh(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const RowMatrix a = denseInput(n, 1);
    const Eigen::VectorXd b = Eigen::VectorXd::LinSpaced(n, -1.0, 1.0);
    RowMatrix work(n, n);
    Eigen::VectorXd x(n);
    for (auto _ : state) {
        work = a;
        Eigen::PartialPivLU<RowMatrix> lu(work);
        x.noalias() = lu.solve(b);
        benchmark::DoNotOptimize(x.data());
        benchmark::ClobberMemory();
    }
    checkDense(state, a, x, b);
}

std::vector<double> inverseBatch(int n) {
    std::vector<double> batch;
    for (int k = 0; k < kBatch; ++k) {
        const RowMatrix m = denseInput(n, 100 + k);
        batch.insert(batch.end(), m.data(), m.data() + n * n);
    }
    return batch;
}

void checkInverses(benchmark::State& state, int n, const std::vector<double>& in,
                   const std::vector<double>& out) {
    double worst = 0.0;
    for (int k = 0; k < kBatch; ++k) {
        Eigen::Map<const RowMatrix> a(in.data() + k * n * n, n, n);
        Eigen::Map<const RowMatrix> inv(out.data() + k * n * n, n, n);
        worst = std::max(worst, (a * inv - RowMatrix::Identity(n, n)).cwiseAbs().maxCoeff());
    }
    state.counters["residual"] = worst;
    if (!(worst < 1e-10)) {
        state.SkipWithError("inverse residual too large");
    }
}

template <int N>
void invOurs(benchmark::State& state) {
    constexpr int n = N;
    const std::vector<double> in = inverseBatch(n);
    std::vector<double> out(in.size());
    for (auto _ : state) {
        // invert works in place: each matrix is copied to its output slot first.
        for (int k = 0; k < kBatch; ++k) {
            double* m = out.data() + k * n * n;
            std::memcpy(m, in.data() + k * n * n, sizeof(double) * n * n);
            rzMath::invert(m, n);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    checkInverses(state, n, in, out);
    state.SetItemsProcessed(state.iterations() * kBatch);
}

template <int N>
void invEigen(benchmark::State& state) {
    using Fixed = Eigen::Matrix<double, N, N, Eigen::RowMajor>;
    const std::vector<double> in = inverseBatch(N);
    std::vector<double> out(in.size());
    for (auto _ : state) {
        for (int k = 0; k < kBatch; ++k) {
            Eigen::Map<const Fixed> a(in.data() + k * N * N);
            Eigen::Map<Fixed> inv(out.data() + k * N * N);
            bool invertible = false;
            a.computeInverseWithCheck(inv, invertible);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    checkInverses(state, N, in, out);
    state.SetItemsProcessed(state.iterations() * kBatch);
}

// A chain of bodies as J^T: per body its unit-quaternion row (7 x 1), per joint between
// neighbours a ball joint (7 x 3 on each side), in the engine's block layout.
struct Chain {
    std::vector<std::unique_ptr<rzMath::MatrixNM>> blocks;
    rzMath::BlockSparseMatrix jt;
    Eigen::SparseMatrix<double> j;  // the same J, rows = constraints
    Eigen::VectorXd b;

    explicit Chain(int bodies) {
        std::mt19937 rng(bodies);
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        int col = 0, group = 0;
        auto add = [&](int body, int cols, bool unitRow) {
            blocks.push_back(std::make_unique<rzMath::MatrixNM>(7, cols));
            rzMath::MatrixNM& m = *blocks.back();
            for (int r = unitRow ? 3 : 0; r < 7; ++r) {
                for (int c = 0; c < cols; ++c) {
                    m(r, c) = u(rng);
                }
            }
            jt.addBlock(&m, 7 * body, col, body, group);
        };
        for (int i = 0; i < bodies; ++i) {
            add(i, 1, true);
            col += 1;
            ++group;
            if (i + 1 < bodies) {
                add(i, 3, false);
                add(i + 1, 3, false);
                col += 3;
                ++group;
            }
        }
        std::vector<Eigen::Triplet<double>> t;
        for (std::uint64_t e = 0; e < jt.count(); ++e) {
            const rzMath::MatrixNM& m = *jt.block(e);
            for (std::uint64_t r = 0; r < m.rows(); ++r) {
                for (std::uint64_t c = 0; c < m.cols(); ++c) {
                    if (m(r, c) != 0.0) {
                        t.emplace_back(jt.firstCol(e) + c, jt.firstRow(e) + r, m(r, c));
                    }
                }
            }
        }
        j.resize(jt.cols(), jt.rows());
        j.setFromTriplets(t.begin(), t.end());
        b = Eigen::VectorXd::LinSpaced(jt.cols(), -1.0, 1.0);
    }

    Eigen::SparseMatrix<double> normal() const {
        Eigen::SparseMatrix<double> a = j * j.transpose();
        for (int i = 0; i < a.rows(); ++i) {
            a.coeffRef(i, i) += rzMath::SparseNormalSolver::kRegularisation;
        }
        return a;
    }
};

void checkSparse(benchmark::State& state, const Chain& chain, const Eigen::VectorXd& x) {
    const double r = (chain.normal() * x - chain.b).norm() / chain.b.norm();
    state.counters["residual"] = r;
    if (!(r < 1e-8)) {
        state.SkipWithError("sparse residual too large");
    }
}

void fromJOurs(benchmark::State& state) {
    const Chain chain(static_cast<int>(state.range(0)));
    rzMath::SparseNormalSolver solver;
    Eigen::VectorXd x(chain.b.size());
    solver.solve(chain.jt, chain.b.data(), x.data());  // structure analysed once, as Eigen's
    for (auto _ : state) {
        solver.solve(chain.jt, chain.b.data(), x.data());
        benchmark::DoNotOptimize(x.data());
        benchmark::ClobberMemory();
    }
    checkSparse(state, chain, x);
}

void fromJEigen(benchmark::State& state) {
    const Chain chain(static_cast<int>(state.range(0)));
    const Eigen::SparseMatrix<double> jtE = chain.j.transpose();
    Eigen::SimplicialLLT<Eigen::SparseMatrix<double>> llt;
    llt.analyzePattern(chain.normal());
    Eigen::SparseMatrix<double> a;
    Eigen::VectorXd x(chain.b.size());
    for (auto _ : state) {
        a = chain.j * jtE;
        for (int i = 0; i < a.rows(); ++i) {
            a.coeffRef(i, i) += rzMath::SparseNormalSolver::kRegularisation;
        }
        llt.factorize(a);
        x = llt.solve(chain.b);
        benchmark::DoNotOptimize(x.data());
        benchmark::ClobberMemory();
    }
    checkSparse(state, chain, x);
}

void factorOurs(benchmark::State& state) {
    const Chain chain(static_cast<int>(state.range(0)));
    rzMath::SparseNormalSolver solver;
    solver.formNormalMatrix(chain.jt);
    Eigen::VectorXd x(chain.b.size());
    for (auto _ : state) {
        solver.factorize();
        solver.solve(chain.b.data(), x.data());
        benchmark::DoNotOptimize(x.data());
        benchmark::ClobberMemory();
    }
    checkSparse(state, chain, x);
}

template <class Ordering>
void factorEigen(benchmark::State& state) {
    const Chain chain(static_cast<int>(state.range(0)));
    const Eigen::SparseMatrix<double> a = chain.normal();
    Eigen::SimplicialLLT<Eigen::SparseMatrix<double>, Eigen::Lower, Ordering> llt;
    llt.analyzePattern(a);
    Eigen::VectorXd x(chain.b.size());
    for (auto _ : state) {
        llt.factorize(a);
        x = llt.solve(chain.b);
        benchmark::DoNotOptimize(x.data());
        benchmark::ClobberMemory();
    }
    checkSparse(state, chain, x);
}

// Collects the medians (or single runs) by name for the ratio table. CPU time: the machine
// may be shared, and both sides run on one thread.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if ((median || single) && !run.error_occurred) {
                times[run.run_name.function_name + "/" + run.run_name.args] =
                    run.GetAdjustedCPUTime();
            }
            if (run.error_occurred) {
                failed = true;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double ratio(const std::string& ours, const std::string& eigen) const {
        const auto a = times.find(ours), b = times.find(eigen);
        return a == times.end() || b == times.end() || b->second == 0.0 ? NAN
                                                                        : a->second / b->second;
    }
    std::map<std::string, double> times;
    bool failed = false;
};

void registerAll() {
    auto sized = [](benchmark::internal::Benchmark* b) {
        b->Unit(benchmark::kNanosecond)->Repetitions(5)->ReportAggregatesOnly(true)->MinTime(0.02);
    };
    for (int n : kLuSizes) {
        sized(benchmark::RegisterBenchmark("lu_ours_substitute", luOursSubstitute)->Arg(n));
        sized(benchmark::RegisterBenchmark("lu_eigen_reused", luEigenReused)->Arg(n));
        sized(benchmark::RegisterBenchmark("lu_ours_solve", luOursSolve)->Arg(n));
        sized(benchmark::RegisterBenchmark("lu_eigen_fresh", luEigenFresh)->Arg(n));
    }
    sized(benchmark::RegisterBenchmark("inv_ours", invOurs<2>)->Arg(2));
    sized(benchmark::RegisterBenchmark("inv_ours", invOurs<3>)->Arg(3));
    sized(benchmark::RegisterBenchmark("inv_ours", invOurs<4>)->Arg(4));
    sized(benchmark::RegisterBenchmark("inv_eigen", invEigen<2>)->Arg(2));
    sized(benchmark::RegisterBenchmark("inv_eigen", invEigen<3>)->Arg(3));
    sized(benchmark::RegisterBenchmark("inv_eigen", invEigen<4>)->Arg(4));
    for (int n : kChainSizes) {
        sized(benchmark::RegisterBenchmark("fromJ_ours", fromJOurs)->Arg(n));
        sized(benchmark::RegisterBenchmark("fromJ_eigen", fromJEigen)->Arg(n));
        sized(benchmark::RegisterBenchmark("factor_ours", factorOurs)->Arg(n));
        sized(benchmark::RegisterBenchmark(
                  "factor_eigen_natural",
                  factorEigen<Eigen::NaturalOrdering<Eigen::SparseMatrix<double>::StorageIndex>>)
                  ->Arg(n));
        sized(benchmark::RegisterBenchmark(
                  "factor_eigen_amd",
                  factorEigen<Eigen::AMDOrdering<Eigen::SparseMatrix<double>::StorageIndex>>)
                  ->Arg(n));
    }
}

const char* verdict(double ratio, double aim) {
    return std::isnan(ratio) ? "n/a" : (ratio <= aim ? "met" : "MISSED");
}

void printRatios(const RatioReporter& r) {
    auto name = [](const char* base, int n) { return std::string(base) + "/" + std::to_string(n); };
    std::printf("\nRatios ours / Eigen (median CPU times; below 1 means ours is faster)\n");
    std::printf("\nDense LU            n  substitute/reused  luSolve/fresh   aim <= 1.2 to n=16\n");
    for (int n : kLuSizes) {
        const double s = r.ratio(name("lu_ours_substitute", n), name("lu_eigen_reused", n));
        const double f = r.ratio(name("lu_ours_solve", n), name("lu_eigen_fresh", n));
        const char* mark = n > 16 ? "" : verdict(std::max(s, f), 1.2);
        std::printf("                 %4d  %17.2f  %13.2f   %s\n", n, s, f, mark);
    }
    std::printf("\nInverse batches    n  invert/computeInverseWithCheck   aim <= 1.5\n");
    for (int n = 2; n <= 4; ++n) {
        const double v = r.ratio(name("inv_ours", n), name("inv_eigen", n));
        std::printf("                 %4d  %30.2f   %s\n", n, v, verdict(v, 1.5));
    }
    std::printf("\nChains        bodies  from J  factor+solve/natural  factor+solve/AMD\n");
    int crossover = -1;
    for (int n : kChainSizes) {
        const double j = r.ratio(name("fromJ_ours", n), name("fromJ_eigen", n));
        const double nat = r.ratio(name("factor_ours", n), name("factor_eigen_natural", n));
        const double amd = r.ratio(name("factor_ours", n), name("factor_eigen_amd", n));
        std::printf("              %6d  %6.2f  %20.2f  %16.2f\n", n, j, nat, amd);
        if (std::isnan(j)) {
            continue;
        }
        if (j <= 1.0) {
            if (crossover < 0) {
                crossover = n;
            }
        } else {
            crossover = -1;
        }
    }
    if (crossover > 0) {
        std::printf("Ours no slower from J from %d bodies on (aim: 30): %s\n", crossover,
                    crossover <= 30 ? "met" : "MISSED");
    } else if (!std::isnan(r.ratio(name("fromJ_ours", 1000), name("fromJ_eigen", 1000)))) {
        std::printf("Ours slower from J at the largest chain (aim: no slower from 30): MISSED\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    Eigen::setNbThreads(1);
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printRatios(reporter);
    benchmark::Shutdown();
    return reporter.failed ? 1 : 0;
}
