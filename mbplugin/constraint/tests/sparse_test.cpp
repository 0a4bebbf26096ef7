// Block-sparse matrix and the normal-equation solve, checked against Eigen's sparse Cholesky
// on the solutions (Eigen reorders, so factors are not comparable).

#include <gtest/gtest.h>

#include <Eigen/Sparse>
#include <Eigen/SparseCholesky>
#include <memory>
#include <random>
#include <vector>

#include "constraint/blocksparsematrix.hpp"
#include "constraint/sparsenormalsolver.hpp"

using namespace rzMath;

namespace {

// J^T of an assembly of bodies: per body a one-column unit-quaternion-like group, per joint a
// three-column group touching both bodies. Blocks hold random values.
struct Assembly {
    std::vector<std::unique_ptr<MatrixNM>> blocks;
    BlockSparseMatrix jt;
    int constraintCols = 0;
    int groups = 0;

    MatrixNM* block(int cols, std::mt19937& rng) {
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        blocks.push_back(std::make_unique<MatrixNM>(7, cols));
        MatrixNM* b = blocks.back().get();
        for (int r = 0; r < 7; ++r) {
            for (int c = 0; c < cols; ++c) {
                (*b)(r, c) = u(rng);
            }
        }
        return b;
    }
    void addJoint(int a, int b, std::mt19937& rng) {
        jt.addBlock(block(3, rng), 7 * a, constraintCols, a, groups);
        jt.addBlock(block(3, rng), 7 * b, constraintCols, b, groups);
        constraintCols += 3;
        ++groups;
    }
    void addUnitRow(int body, std::mt19937& rng) {
        jt.addBlock(block(1, rng), 7 * body, constraintCols, body, groups);
        constraintCols += 1;
        ++groups;
    }
};

// parents[i] < i is body i's parent (-1 for the root); interleave puts each body's unit row
// next to its joint, otherwise all joints come first (the engine's order).
Assembly makeAssembly(const std::vector<int>& parents, bool interleave, std::mt19937& rng) {
    Assembly a;
    const int n = static_cast<int>(parents.size());
    if (interleave) {
        for (int i = 0; i < n; ++i) {
            a.addUnitRow(i, rng);
            if (parents[i] >= 0) {
                a.addJoint(parents[i], i, rng);
            }
        }
    } else {
        for (int i = 0; i < n; ++i) {
            if (parents[i] >= 0) {
                a.addJoint(parents[i], i, rng);
            }
        }
        for (int i = 0; i < n; ++i) {
            a.addUnitRow(i, rng);
        }
    }
    return a;
}

Eigen::SparseMatrix<double> eigenNormalMatrix(const BlockSparseMatrix& jt) {
    std::vector<Eigen::Triplet<double>> t;
    for (std::uint64_t e = 0; e < jt.count(); ++e) {
        const MatrixNM& b = *jt.block(e);
        for (std::uint64_t r = 0; r < b.rows(); ++r) {
            for (std::uint64_t c = 0; c < b.cols(); ++c) {
                t.emplace_back(jt.firstCol(e) + c, jt.firstRow(e) + r, b(r, c));
            }
        }
    }
    Eigen::SparseMatrix<double> j(jt.cols(), jt.rows());
    j.setFromTriplets(t.begin(), t.end());
    Eigen::SparseMatrix<double> a = j * j.transpose();
    Eigen::SparseMatrix<double> reg(jt.cols(), jt.cols());
    reg.setIdentity();
    return a + SparseNormalSolver::kRegularisation * reg;
}

void expectSolvesLikeEigen(Assembly& a, std::mt19937& rng) {
    const int m = static_cast<int>(a.jt.cols());
    const Eigen::VectorXd b = Eigen::VectorXd::Random(m);
    Eigen::VectorXd ours(m);
    SparseNormalSolver solver;
    solver.solve(a.jt, b.data(), ours.data());

    const Eigen::SparseMatrix<double> normal = eigenNormalMatrix(a.jt);
    Eigen::SimplicialLLT<Eigen::SparseMatrix<double>> llt(normal);
    ASSERT_EQ(llt.info(), Eigen::Success);
    const Eigen::VectorXd reference = llt.solve(b);
    EXPECT_LT((ours - reference).norm() / reference.norm(), 1e-8);
    EXPECT_LT((normal * ours - b).norm() / b.norm(), 1e-8);

    std::uniform_int_distribution<int> pick(0, m - 1);
    for (int k = 0; k < 50; ++k) {
        const int r = pick(rng), c = pick(rng);
        EXPECT_NEAR(solver.normalElement(r, c), normal.coeff(r, c), 1e-12);
    }
}

}  // namespace

TEST(BlockSparseMatrix, GrowsInStepsOf500KeepingEntriesAndExtents) {
    BlockSparseMatrix m;
    EXPECT_EQ(m.capacity(), 500u);
    MatrixNM block(7, 3);
    block(6, 2) = 1.0;
    for (int i = 0; i < 1200; ++i) {
        m.addBlock(&block, 7 * i, 3 * i, i, i);
    }
    EXPECT_EQ(m.count(), 1200u);
    EXPECT_EQ(m.capacity(), 1500u);
    EXPECT_EQ(m.firstRow(3), 21u);
    EXPECT_EQ(m.blockCol(1199), 1199u);
    EXPECT_TRUE(m.active(0));
    EXPECT_EQ(m.rows(), 7u * 1200);
    EXPECT_EQ(m.cols(), 3u * 1200);
    EXPECT_EQ(m.blockRows(), 1200u);

    std::vector<double> x(m.cols(), 1.0), y(m.rows());
    m.multiply(x.data(), y.data());
    EXPECT_EQ(y[6], 1.0);
    EXPECT_EQ(y[5], 0.0);
    m.setActive(0, false);
    m.multiply(x.data(), y.data());
    EXPECT_EQ(y[6], 0.0);

    m.clear();
    EXPECT_EQ(m.count(), 0u);
    EXPECT_EQ(m.rows(), 0u);
    EXPECT_EQ(m.capacity(), 1500u);
    m.reserveDense(4);
    EXPECT_EQ(m.denseOrder(), 4u);
    EXPECT_EQ(m.denseRow(3)[3], 0.0);
}

TEST(SparseNormalSolver, SolvesChainsLikeEigen) {
    std::mt19937 rng(21);
    for (int n : {1, 2, 5, 40}) {
        std::vector<int> parents(n);
        for (int i = 0; i < n; ++i) {
            parents[i] = i - 1;
        }
        for (bool interleave : {true, false}) {
            Assembly a = makeAssembly(parents, interleave, rng);
            expectSolvesLikeEigen(a, rng);
        }
    }
}

TEST(SparseNormalSolver, SolvesTreesLikeEigen) {
    std::mt19937 rng(22);
    for (int n : {3, 17, 60}) {
        std::vector<int> parents(n, -1);
        for (int i = 1; i < n; ++i) {
            parents[i] = std::uniform_int_distribution<int>(0, i - 1)(rng);
        }
        for (bool interleave : {true, false}) {
            Assembly a = makeAssembly(parents, interleave, rng);
            expectSolvesLikeEigen(a, rng);
        }
    }
}

TEST(SparseNormalSolver, ReusesItsStructureOnlyWhileThePatternRepeats) {
    std::mt19937 rng(23);
    std::vector<int> parents{-1, 0, 1, 2};
    Assembly a = makeAssembly(parents, true, rng);
    SparseNormalSolver solver;
    const int m = static_cast<int>(a.jt.cols());
    Eigen::VectorXd b = Eigen::VectorXd::Random(m), x(m);
    solver.solve(a.jt, b.data(), x.data());

    // New values, same pattern.
    for (auto& block : a.blocks) {
        for (std::uint64_t i = 0; i < block->rows() * block->cols(); ++i) {
            block->data()[i] *= 1.5;
        }
    }
    solver.solve(a.jt, b.data(), x.data());
    EXPECT_LT((eigenNormalMatrix(a.jt) * x - b).norm(), 1e-8 * b.norm());

    // A different pattern of the same size: body 3 hangs off body 0 now.
    Assembly other = makeAssembly({-1, 0, 1, 0}, true, rng);
    ASSERT_EQ(other.jt.cols(), a.jt.cols());
    solver.solve(other.jt, b.data(), x.data());
    EXPECT_LT((eigenNormalMatrix(other.jt) * x - b).norm(), 1e-8 * b.norm());
}

TEST(SparseNormalSolver, KeepsTheFillOfALongChainLinearWhateverTheGroupOrder) {
    std::mt19937 rng(24);
    const int n = 300;
    std::vector<int> parents(n);
    for (int i = 0; i < n; ++i) {
        parents[i] = i - 1;
    }
    Assembly a = makeAssembly(parents, false, rng);
    SparseNormalSolver solver;
    const int m = static_cast<int>(a.jt.cols());
    Eigen::VectorXd b = Eigen::VectorXd::Random(m), x(m);
    solver.solve(a.jt, b.data(), x.data());
    EXPECT_LT(solver.factorBlocks(), static_cast<std::size_t>(6 * a.groups));
    EXPECT_LT((eigenNormalMatrix(a.jt) * x - b).norm(), 1e-8 * b.norm());
}

TEST(SparseNormalSolver, ColumnsWithoutBlocksSolveAgainstTheRegularisation) {
    BlockSparseMatrix jt;
    MatrixNM block(7, 1);
    block(3, 0) = 2.0;
    jt.addBlock(&block, 0, 0, 0, 0);
    MatrixNM later(7, 1);
    later(0, 0) = 1.0;
    jt.addBlock(&later, 0, 2, 0, 2);  // column 1 has no block at all
    const double b[3] = {4.0, 1e-6, 1.0};
    double x[3];
    SparseNormalSolver solver;
    solver.solve(jt, b, x);
    EXPECT_NEAR(x[0], 4.0 / (4.0 + 1e-6), 1e-12);
    EXPECT_NEAR(x[1], 1.0, 1e-12);
    EXPECT_NEAR(x[2], 1.0 / (1.0 + 1e-6), 1e-12);
}
