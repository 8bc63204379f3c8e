#pragma once
// A cheap per-thread coin for the random start order of select.

namespace quorvelin::runtime {

bool random_coin();

}  // namespace quorvelin::runtime
