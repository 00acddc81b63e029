// What a whole fix run does to a store, in the order it does it: the
// measure for a run that stopped part way, which must have done exactly a
// first part of that, and each change only once the report showed it.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "testing/store.h"

using Files = std::map<std::string, Bytes>;

struct FixRecord {
  std::string root;         // the store's path as its headings begin
  std::string checkReport;  // a check run's whole report
  std::string fixReport;    // a fix run's whole report
  double fixSeconds;         // how long the fix run took
  Files before;
  Files after;
  // The files the fix changes, in the order it changes them: the message
  // files, then the counter.
  std::vector<std::string> changes;
};

// Makes a store with `make` and records a check and a fix run on it.
FixRecord RecordFix(void (*make)(Store&));

// A report of the record as a run on `store`, the same store in another
// place, prints it.
std::string MovedTo(const Store& store, const FixRecord& record, std::string report);

// How many of the record's changes a run has made, in their order, when
// `now` is what it left; -1 when it left anything else: a change out of
// order, another byte changed.
int CountChangesMade(const FixRecord& record, const Files& now);

// How many of the record's changes the report `output` has shown, in whole
// lines: a file's "ID changed" line, and for the counter the "Total
// Errors" line, which is out before the counter may be raised.
int CountChangesShown(const std::string& output);
