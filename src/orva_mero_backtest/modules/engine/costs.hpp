// The cost rules of CostSettings (costs.cpp): CostSettings' methods are these functions, and the
// positions book calls them directly unless the costs object's class or instance replaces one.
#pragma once

#include "pyref.hpp"

namespace orva::engine {

// costs.<rule>(...) as Python calls it: the replacement when costs.<rule> is not CostSettings' own
// (a subclass's method, one set on the class or on the instance), else the rule computed here.
// costs.<name> of a setting (a field of CostSettings), as getattr gives it.
Ref cost_setting(PyObject* costs, PyObject* name);
Ref stock_shares(PyObject* costs, PyObject* quantity, PyObject* order_lot);
Ref stock_commission(PyObject* costs, PyObject* price, PyObject* shares, bool odd_lot);
// code, day_trade_shares (same-day netted shares) and day (YYYYMMDD int) choose the rate.
Ref stock_tax(PyObject* costs, PyObject* price, PyObject* shares, bool is_sell, PyObject* code,
              PyObject* day_trade_shares, PyObject* day);
Ref future_multiplier(PyObject* costs, PyObject* code);
Ref future_commission(PyObject* costs, PyObject* code, PyObject* contracts);
Ref future_tax(PyObject* costs, PyObject* code, PyObject* price, PyObject* contracts);

// Adds CostSettings' methods (cost_<name>, each binding self like a Python function) and
// future_root to the module; -1 with an error set on failure.
int add_cost_functions(PyObject* module);

}  // namespace orva::engine
