// The hosted platform's control API (everything).
#pragma once

#include <hosted/clock.h>
#include <hosted/files.h>
#include <hosted/io.h>
#include <hosted/ks.h>
#include <hosted/loader.h>
#include <hosted/platform.h>
#include <hosted/pnp.h>
#include <hosted/pool.h>
#include <hosted/power.h>
#include <hosted/registry.h>
#include <hosted/thread.h>
#include <hosted/trace.h>
#include <hosted/verifier.h>
#include <hosted/wmi.h>
