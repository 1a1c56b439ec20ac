"""boards"""
