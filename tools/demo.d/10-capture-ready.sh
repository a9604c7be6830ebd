#!/bin/bash
# The demo keeps a picture of the ready window for people to look at.
exec "$(dirname "$0")/../demo/capture-ready.sh" "$1"
