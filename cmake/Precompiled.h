// The headers that nearly every file of a target includes, compiled once per
// target instead of once per file (the build's largest saving after the
// optimisation level). Only what a target can reach is taken: a target
// without QtWidgets or GoogleTest on its include path gets neither.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#if __has_include(<QWidget>)
#include <QComboBox>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QWidget>
#endif

#ifdef GASCAL_PCH_GTEST
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#endif
