// The converter's fixed 590-byte prelude, written out independently of the
// converter's own text: the module templates are written against exactly it.
#pragma once

#include <string>

namespace kvtest {

inline const std::string &expected_prelude() {
    static const std::string text =
        "divert(-1)dnl\n"
        "changequote([[,]])\n"
        "define([[XX_OVERRIDE]],[[define([[$1]],[[$2]])]])\n"
        "define([[XX_UNSET]],[[undefine([[$1]])]])\n"
        "define([[XX_DEFAULT]],[[ifdef([[$1]],,[[define([[$1]],[[$2]])]])]])\n"
        "define([[XX_OVERRIDE_IFDEF]],[[ifdef([[$2]],[[define([[$1]],[[$2]])]])]])\n"
        "define([[XX_OPTIONAL]],[[ifdef([[$1]],,[[define([[$1]],[[]])]])]])\n"
        "define([[XX_REQUIRE]],[[ifdef([[$1]],,[[errprint([[Cannot find $1, but marked as "
        "required.\n]])m4exit(1)]])]])\n"
        "define([[XX_REQUIRE_VALUE]],[[ifelse(defn([[$1]]),[[$2]],,[[errprint([[Incorrect value "
        "]]defn([[$1]])[[ for $1 - should be $2.\n]])m4exit(1)]])]])\n";
    return text;
}

} // namespace kvtest
