#!/usr/bin/env bash
# SOURCE_DIR CLONE_DIR: clones SOURCE_DIR and commits its working tree in the
# clone as it is, changes and untracked files included: a release is made
# only from a clean commit.
set -euo pipefail
source=$(cd "$1" && pwd)
git clone -q "$source" "$2"
clone=$(cd "$2" && pwd)
git -C "$source" diff HEAD --binary | git -C "$clone" apply --binary --allow-empty
(cd "$source" && git ls-files -z --others --exclude-standard | xargs -0r cp --parents -t "$clone")
git -C "$clone" add -A
git -C "$clone" -c user.name=release-test -c user.email=release-test@localhost commit -qm "working tree" || true
