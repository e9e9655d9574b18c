// Boost.JSON used header-only: its compiled parts are built here, once, so the
// module needs no Boost shared library at run time.
#include <boost/json/src.hpp>
