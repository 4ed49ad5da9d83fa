#ifndef LED_H
#define LED_H

#include <QString>

// Sets the brightness of the board LED called name; silent when there is no such LED.
void led_set(QString name, int value, QString root = QStringLiteral("/sys/class/leds/"));

#endif
