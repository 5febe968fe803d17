// IFA_LIBRARY_LOCAL: marks what a type-module record points at (hooks and
// their tables). The record's slots must hold the library's own copy: a
// program that instantiates the same template must not take its place.
#pragma once

#define IFA_LIBRARY_LOCAL __attribute__((visibility("hidden")))
