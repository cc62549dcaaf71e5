// "brimwell dashboard [--records URL] [--listen ADDRESS:PORT] [--token-file FILE]".
#pragma once

namespace brimwell::dashboard {

int dashboardMain(int argc, char** argv);

} // namespace brimwell::dashboard
