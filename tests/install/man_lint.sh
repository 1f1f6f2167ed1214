# Renders the manual page with every groff warning enabled; any warning fails.
# Usage: man_lint.sh PAGE
source "$(dirname "$0")/common.sh"
require_tools groff
page=$1

warnings=$(groff -ww -z -man "$page" 2>&1) || fail "groff failed on $page: $warnings"
[[ -z "$warnings" ]] || fail "groff warns about $page: $warnings"
echo "groff -ww -z -man: no warning for $page"
