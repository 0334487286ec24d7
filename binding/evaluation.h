// Evaluating texts: one value (eval, evaluate, eval_with) or one per row of
// columns of data (eval_many).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "calls.h"

double eval(Self self, std::string text);
double evaluateText(std::string text);
// values maps names to floats bound for this call only.
double evalWith(Self self, std::string text, py::object values);
// Such values as columns of one row: a dict of str to float or int at once,
// a frame of one row (a null reads as NaN; a column the text reads must be
// numbers: `bindable` gives the names it may read, under the evaluator's
// lock), any other mapping as eval_many reads its columns (call names the
// method in errors).
class Columns;
class ArrowFrame;
class PerCall {
public:
    PerCall(const char* call, py::handle values,
            const std::function<std::vector<std::string>()>& bindable);
    ~PerCall();
    const std::vector<velmoratrix::Column>& columns() const;

private:
    std::vector<double> numbers_;
    std::vector<velmoratrix::Column> columns_;
    std::unique_ptr<Columns> read_;
    std::unique_ptr<ArrowFrame> frame_;
};
py::object evalMany(Self self, std::string text, py::object values, py::object out,
                    py::object threads, py::object dtype);
// The truth of each row's value, as a numpy bool array; and whether the text
// is a condition, whose rows are truth values.
py::object mask(Self self, std::string text, py::object values, py::object threads);
// Each row's truth over an Arrow frame, as Arrow booleans with the rows' nulls.
py::object truths(Self self, std::string text, py::object values, py::object threads);
// eval_many's rows in numpy's kind (or into out) and each row's validity: a
// numpy bool array, or None where no column has nulls (for the pandas accessor).
py::object rowsAndValidity(Self self, std::string text, py::object values, py::object out,
                           py::object threads);
// Named formulas over the same rows, later ones reading earlier results by
// name (MathEvaluator::evalAssignments): a list of float64 numpy arrays, and
// a list of their validity (numpy bool arrays, or None where no column has
// nulls).
py::object assignRows(Self self, const std::vector<std::pair<std::string, std::string>>& formulas,
                      py::object values, py::object threads);
bool isCondition(Self self, const std::string& text);
// eval_many's columns in, results out (a new array, or `out`): `run` gets
// the columns and where to write, under the evaluator's lock, without the
// GIL (for a frame read through Arrow, once per batch). The text is read as
// `formula` reads it where one is given, else in the evaluator's syntax.
using RowsRun = std::function<void(const std::vector<velmoratrix::Column>&, std::size_t,
                                   const velmoratrix::Output&)>;
py::object evalRows(py_Evaluator& evaluator, const std::string& text, velmoratrix::Formula* formula,
                    py::object values, py::object out, py::object dtype, const RowsRun& run);
// The same for a text compiled to run on no evaluator (a Compiled): the
// columns of `names` are read, and `run` gets them without the GIL or a lock.
py::object unlockedRows(const std::vector<std::string>& names, bool condition, py::object values,
                        py::object out, py::object dtype, const RowsRun& run);
// threads=None or a count of at least 1 (call names the method in errors).
std::size_t threadCount(const char* call, const py::object& threads);
// The module's thread count for eval_many: set returns the previous one.
std::size_t setNumThreads(long threads);
std::size_t getNumThreads();
