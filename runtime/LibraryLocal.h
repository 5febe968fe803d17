// IFA_LIBRARY_LOCAL: marks what a type-module record points at (hooks and
// their tables). The record holds each address as a 32-bit offset from
// itself, so the target must be the library's own copy: a program that
// instantiates the same template must not take its place.
#pragma once

#define IFA_LIBRARY_LOCAL __attribute__((visibility("hidden")))
