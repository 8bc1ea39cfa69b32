#!/usr/bin/env bash
# Removes what Velmo Remote installed for this user. Filled in with the settings panel.
exit 0
