#!/bin/sh
# check_man_page.sh PAGE VERSION: the page renders without a single groff warning and
# its title line names VERSION.
page=$1
version=$2
warnings=$(groff -ww -z -man "$page" 2>&1) || { echo "$warnings"; exit 1; }
if [ -n "$warnings" ]; then
  echo "$warnings"
  exit 1
fi
if ! head -n 1 "$page" | grep -q "\"talvora-audio $version\""; then
  echo "$page: the title line does not name version $version:"
  head -n 1 "$page"
  exit 1
fi
