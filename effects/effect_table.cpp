#include "effects/effect_table.h"

// The leading spaces centre each text by eye in the panel's font; they are data, not computed.
const std::array<EffectRow, Effects::Count> Effects::Table = {{
    {"Kısa Gülme", "     Kısa Gülme !", "1.tzk"},
    {"Siren", "          Siren !", "2.tzk"},
    {"Bekleme", "        Bekleme !", "3.tzk"},
    {"Kırılma", "         Kırılma !", "4.tzk"},
    {"Alkış Gülme", "     Alkış Gülme !", "5.tzk"},
    {"Kaza Anı", "       Kaza Anı !", "6.tzk"},
    {"Buuu", "          Buuu !", "7.tzk"},
    {"Öksürük", "        Öksürük !", "8.tzk"},
    {"Alkış", "          Alkış !", "9.tzk"},
    {"Deli", "          Deli !", "10.tzk"},
    {"Polis Düdüğü", "    Polis Düdüğü !", "11.tzk"},
    {"Japon İşi", "       Japon İşi !", "12.tzk"},
    {"Wooow", "         Wooow !", "13.tzk"},
    {"Ah Ha Ha", "       Ah Ha Ha !", "14.tzk"},
    {"Patlama", "         Patlama !", "15.tzk"},
    {"Araba Geçiş", "     Araba Geçiş !", "16.tzk"},
    {"Aaaa", "          Aaaa !", "17.tzk"},
    {"Gülme", "         Gülme !", "18.tzk"},
    {"Öpücük", "        Öpücük !", "19.tzk"},
    {"Remixed by", "      Remixed By", "20.tzk"},
}};
