// The classes the module creates at load, in the order it creates them.
#pragma once

#include "runtime/classdef.hpp"

namespace zarn {

extern const ClassDef policy_def;
extern const ClassDef group_def;
extern const ClassDef role_content_def;
extern const ClassDef role_matrix_def;

}  // namespace zarn
