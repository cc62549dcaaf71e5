// "brimwell station SCRIPT [--match ...]... [--records URL] [--tag K=V]... [--once] [--fixture]":
// flashes each matching adapter as it is plugged in, until stopped.
#pragma once

namespace brimwell::cli {

// argv[1] is "station". 0 every run passed, 1 a run failed or was stopped, 2 usage or set-up
// error, 3 the runs passed but a record is incomplete.
int stationMain(int argc, char** argv);

} // namespace brimwell::cli
